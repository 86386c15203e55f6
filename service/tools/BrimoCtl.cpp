// brimoctl: a small command-line client of the bridge service. It connects like the desktop app
// or the extension (starting the bundle's service when nobody listens), calls host methods and
// prints the results.
//
//   brimoctl [--role desktopApp|fileProvider|iOS|N] version
//   brimoctl [--role …] register
//   brimoctl [--role …] watch [COUNT]     register, then print bridge-state notifications
//   brimoctl [--role …] relay CODE JSON   register, relay one request to the phone, print
//                                         "error=E status=S" and the phone's response
//   brimoctl [--role …] read IDENTIFIER [--out FILE]
//   brimoctl [--role …] write IDENTIFIER FILE
// Transfers show the progress the service reports.

#include "service/tools/BrimoCtl.h"
#include "shared/BridgeContract.h"
#include "shared/EventLoop.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/RemoteProxies.h"
#include "shared/ipc/ServiceLauncher.h"

#include <asio/signal_set.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

namespace {

using namespace brimo;

int usage() {
    std::cerr << "usage: brimoctl [--role desktopApp|fileProvider|iOS|N] version | register |"
                 " watch [COUNT] | relay CODE JSON | read IDENTIFIER [--out FILE] |"
                 " write IDENTIFIER FILE\n";
    return 2;
}

std::optional<int64_t> parseRole(const std::string& text) {
    static const std::map<std::string, int64_t> names = {
        {"fileProvider", 0}, {"desktopApp", 1}, {"iOS", 2}};
    if (auto named = names.find(text); named != names.end()) return named->second;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') return std::nullopt;
    return value;
}

std::string describeState(const NotifyBridgeStateChangedPayload& state) {
    switch (state.source) {
    case 0:
        return state.connected ? "file provider registered" : "file provider not registered";
    case 2:
        return state.connected ? "phone attached" : "phone detached";
    default:
        return "source " + std::to_string(state.source);
    }
}

// What the service may call on us: prints notifications, answers like the desktop app.
class Client final : public ipc::BridgeClientProtocol {
public:
    Client(std::function<void()> onState, std::function<void(const Uuid&, int)>& onProgress)
        : onState_(std::move(onState))
        , onProgress_(onProgress) {}
    void notifyClient(int64_t code, Bytes param) override {
        if (code == static_cast<int64_t>(BridgeNotifyMessage::fileIOProgress)) {
            if (auto progress = decodeFileIOProgressPayload(param); progress && onProgress_)
                onProgress_(progress->sessionID, progress->percent);
            return;
        }
        if (code != static_cast<int64_t>(BridgeNotifyMessage::bridgeStateChanged) || quietState)
            return;
        if (auto state = decodeNotifyBridgeStateChangedPayload(param)) {
            std::cout << "bridge state: " << describeState(*state) << std::endl;
            onState_();
        }
    }
    void echo(ipc::Reply<> reply) override { reply(); }
    void benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) override { reply(data.size()); }
    void runExtToHostPing(int64_t, ipc::Reply<double> reply) override { reply(-1.0); }
    void benchmarkSendChunks(uint64_t, uint64_t, ipc::Reply<double> reply) override { reply(-1.0); }

    // Transfers print their own lines only.
    bool quietState = false;

private:
    std::function<void()> onState_;
    std::function<void(const Uuid&, int)>& onProgress_;
};

// The service executable of the bundle this tool was started from.
std::string bundledService() {
    std::error_code ignored;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return (self.parent_path().parent_path() /
            "XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService")
        .string();
}

} // namespace

int main(int argc, char** argv) {
    int64_t role = static_cast<int64_t>(TarvelBridgeClientRole::desktopApp);
    std::vector<std::string> words;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out") {
            if (++i >= argc) return usage();
            out = argv[i];
        } else if (arg == "--role") {
            if (++i >= argc) return usage();
            auto parsed = parseRole(argv[i]);
            if (!parsed) return usage();
            role = *parsed;
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return usage();
    const std::string command = words[0];
    long remaining = words.size() > 1 ? std::strtol(words[1].c_str(), nullptr, 10) : -1;

    auto& loop = mainLoop();
    std::optional<int> status;
    // The first outcome counts; closing the connection afterwards reports nothing.
    auto finish = [&](int code) {
        if (!status) status = code;
        loop.stop();
    };

    ipc::ConnectOptions options;
    options.launcher = std::make_shared<ipc::ExecutableLauncher>(bundledService());
    auto connection =
        ipc::ClientConnection::connect(loop.get_executor(), ipc::kServiceName, options);
    std::function<void(const Uuid&, int)> onProgress;
    auto client = std::make_shared<Client>(
        [&] {
            if (remaining > 0 && --remaining == 0) finish(0);
        },
        onProgress);
    client->quietState = command == "read" || command == "write";
    connection->setExportedObject(client);
    connection->setInvalidationHandler([&] {
        std::cerr << "brimoctl: cannot reach the bridge service" << std::endl;
        finish(1);
    });
    connection->setInterruptionHandler([&] {
        std::cerr << "brimoctl: the bridge service closed the connection" << std::endl;
        finish(1);
    });
    connection->resume();
    auto host = connection->remoteObjectProxy([&](const ipc::RemoteError& error) {
        std::cerr << "brimoctl: " << error.name << ": " << error.message << std::endl;
        finish(1);
    });

    CtlSession session{host, role, finish, onProgress};
    if (command == "version") {
        host.getXPCServiceVersion([&](int64_t version) {
            std::cout << version << std::endl;
            finish(0);
        });
    } else if (command == "register" || command == "watch") {
        host.registerClient(role, [&, watch = command == "watch"](bool ok) {
            std::cout << (ok ? "registered" : "registration refused") << std::endl;
            if (!ok || !watch) finish(ok ? 0 : 1);
        });
    } else if (command == "relay" && words.size() == 3) {
        const int64_t code = std::strtoll(words[1].c_str(), nullptr, 10);
        Bytes param(words[2].begin(), words[2].end());
        host.registerClient(role, [&, code, param = std::move(param)](bool ok) mutable {
            if (!ok) {
                std::cerr << "brimoctl: registration refused" << std::endl;
                return finish(1);
            }
            host.relayToUsbMux(
                code, std::move(param), [&](Bytes response, int64_t error, int64_t status) {
                    std::cout << "error=" << error << " status=" << status << "\n"
                              << std::string(response.begin(), response.end()) << std::endl;
                    finish(error == 0 ? 0 : 1);
                });
        });
    } else if ((command == "read" && words.size() == 2) ||
               (command == "write" && words.size() == 3)) {
        host.registerClient(role, [&](bool ok) {
            if (!ok) {
                std::cerr << "brimoctl: registration refused" << std::endl;
                return finish(1);
            }
            if (command == "read")
                readFromPhone(session, words[1], out);
            else
                writeToPhone(session, words[1], words[2]);
        });
    } else {
        return usage();
    }

    asio::signal_set interrupt(loop, SIGINT, SIGTERM);
    interrupt.async_wait([&](const std::error_code&, int) { finish(0); });
    loop.run();
    connection->invalidate();
    return status.value_or(1);
}
