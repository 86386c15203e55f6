// A minimal bridge service for the on-demand start tests: answers its version with its pid and
// exits after answering Shutdown.
#include "shared/EventLoop.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/ServiceListener.h"

#include <asio/post.hpp>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace brimo::ipc;

class Host : public TarvelBridgeHostProtocol {
public:
    explicit Host(ServiceListener& listener)
        : listener_(listener) {}
    void registerClient(int64_t, Reply<bool> reply) override { reply(true); }
    void echo(Reply<> reply) override { reply(); }
    void ping(int64_t, Reply<bool> reply) override { reply(false); }
    void benchmarkIngest(brimo::Bytes data, Reply<uint64_t> reply) override { reply(data.size()); }
    void requestExtToHostPing(int64_t, Reply<double> reply) override { reply(-1); }
    void requestExtToHostThroughput(uint64_t, uint64_t, Reply<double> reply) override { reply(-1); }
    void requestHostToExtThroughput(uint64_t, uint64_t, Reply<double> reply) override { reply(-1); }
    void runUsbMuxSpeedTest(Reply<bool, std::string> reply) override { reply(false, ""); }
    void relayToUsbMux(int64_t, brimo::Bytes,
                       Reply<brimo::Bytes, int64_t, int64_t> reply) override {
        reply({}, 1, 0);
    }
    void requestFileIO(int64_t, brimo::Bytes, Reply<brimo::Bytes, int64_t> reply) override {
        reply({}, 1);
    }
    void filesystemDidUnmount() override {}
    void shutdown(Reply<bool> reply) override {
        reply(true);
        // Leave the loop a turn to write the reply, then stop serving.
        asio::post(brimo::mainLoop(), [this] {
            listener_.invalidate();
            brimo::mainLoop().stop();
        });
    }
    void getXPCServiceVersion(Reply<int64_t> reply) override { reply(getpid()); }

private:
    ServiceListener& listener_;
};

class Delegate : public ListenerDelegate {
public:
    explicit Delegate(ServiceListener& listener)
        : listener_(listener) {}
    bool shouldAcceptNewConnection(const std::shared_ptr<ServiceConnection>& conn) override {
        conn->setExportedObject(std::make_shared<Host>(listener_));
        conn->resume();
        return true;
    }

private:
    ServiceListener& listener_;
};

} // namespace

int main() {
    ServiceListener listener(brimo::mainLoop().get_executor(), serviceSocketPath(kServiceName));
    listener.setDelegate(std::make_shared<Delegate>(listener));
    try {
        listener.resume();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ipc_test_service: %s\n", e.what());
        return 1;
    }
    brimo::mainLoop().run();
    return 0;
}
