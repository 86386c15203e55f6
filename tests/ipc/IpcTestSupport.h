#pragma once

#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/ServiceListener.h"
#include "tests/common/RunAsync.h"

#include <asio/io_context.hpp>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brimo::ipc::test {

// The service side of the tests: answers at once, except Shutdown, which keeps its reply
// unanswered, and GetXPCServiceVersion, which drops it.
class TestHost : public TarvelBridgeHostProtocol {
public:
    int echoes = 0;
    std::vector<int64_t> roles;
    std::optional<Reply<bool>> heldShutdown;
    std::function<void(int64_t, Reply<bool>)> onPing;

    void registerClient(int64_t role, Reply<bool> reply) override {
        roles.push_back(role);
        reply(role >= 0);
    }
    void echo(Reply<> reply) override {
        ++echoes;
        reply();
    }
    void ping(int64_t role, Reply<bool> reply) override { onPing(role, std::move(reply)); }
    void benchmarkIngest(Bytes data, Reply<uint64_t> reply) override { reply(data.size()); }
    void requestExtToHostPing(int64_t count, Reply<double> reply) override { reply(count * 0.5); }
    void requestExtToHostThroughput(uint64_t size, uint64_t count, Reply<double> reply) override {
        reply(double(size * count));
    }
    void requestHostToExtThroughput(uint64_t size, uint64_t count, Reply<double> reply) override {
        reply(double(size + count));
    }
    void runUsbMuxSpeedTest(Reply<bool, std::string> reply) override { reply(true, "report"); }
    void relayToUsbMux(int64_t code, Bytes param, Reply<Bytes, int64_t, int64_t> reply) override {
        std::reverse(param.begin(), param.end());
        reply(std::move(param), code + 1, -7);
    }
    void requestFileIO(int64_t operation, Bytes param, Reply<Bytes, int64_t> reply) override {
        param.push_back(uint8_t(operation));
        reply(std::move(param), operation * 10);
    }
    void filesystemDidUnmount() override { ++unmounts; }
    void shutdown(Reply<bool> reply) override { heldShutdown.emplace(std::move(reply)); }
    void getXPCServiceVersion(Reply<int64_t>) override {}

    int unmounts = 0;
};

class TestClient : public TarvelBridgeClientProtocol {
public:
    std::vector<std::pair<int64_t, Bytes>> notifications;
    std::optional<Reply<>> heldEcho;
    bool holdEcho = false;

    void notifyClient(int64_t code, Bytes param) override {
        notifications.emplace_back(code, std::move(param));
    }
    void echo(Reply<> reply) override {
        if (holdEcho)
            heldEcho.emplace(std::move(reply));
        else
            reply();
    }
    void benchmarkIngest(Bytes data, Reply<uint64_t> reply) override { reply(data.size() * 2); }
    void runExtToHostPing(int64_t, Reply<double> reply) override { reply(-1.0); }
    void benchmarkSendChunks(uint64_t size, uint64_t count, Reply<double> reply) override {
        reply(double(size) / double(count));
    }
};

// Accepts every connection with a fresh TestHost and remembers what happened.
class TestDelegate : public ListenerDelegate {
public:
    std::vector<std::shared_ptr<ServiceConnection>> accepted;
    std::vector<std::shared_ptr<TestHost>> hosts;
    int invalidated = 0;

    bool shouldAcceptNewConnection(const std::shared_ptr<ServiceConnection>& conn) override {
        auto host = std::make_shared<TestHost>();
        host->onPing = [raw = conn.get()](int64_t, Reply<bool> reply) {
            // Answers from inside the completion of a call back to the same client; should
            // that call fail, the completion and the reply it owns go away unanswered.
            raw->remoteObjectProxy({}).echo([reply = std::move(reply)]() mutable { reply(true); });
        };
        conn->setExportedObject(host);
        conn->setInvalidationHandler([this] { ++invalidated; });
        conn->resume();
        accepted.push_back(conn);
        hosts.push_back(host);
        return true;
    }
};

// A private XDG_RUNTIME_DIR and one loop that drives the service and its clients alike.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brimo-ipc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtimeDir = pattern;
        setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
        socketPath = serviceSocketPath(kServiceName);
    }
    void TearDown() override {
        clients.clear();
        listener.reset();
        loop.restart();
        loop.poll(); // let closed connections finish
        std::filesystem::remove_all(runtimeDir);
    }

    void startService() {
        listener = std::make_unique<ServiceListener>(loop.get_executor(), socketPath);
        listener->setDelegate(delegate);
        listener->resume();
    }

    std::shared_ptr<ClientConnection> makeClient(ConnectOptions options = {}) {
        auto client = ClientConnection::connect(loop.get_executor(), kServiceName, options);
        client->resume();
        clients.push_back(client);
        return client;
    }

    template <class P> bool runUntil(P done) { return brimo::test::runUntil(loop, done); }

    asio::io_context loop;
    std::string runtimeDir;
    std::string socketPath;
    std::shared_ptr<TestDelegate> delegate = std::make_shared<TestDelegate>();
    std::unique_ptr<ServiceListener> listener;
    std::vector<std::shared_ptr<ClientConnection>> clients;
};

} // namespace brimo::ipc::test
