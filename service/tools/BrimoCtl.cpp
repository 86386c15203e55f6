// brimoctl: a small command-line client of the bridge service. It connects like the desktop app
// or the extension (starting the bundle's service when nobody listens), calls host methods and
// prints the results.
//
//   brimoctl [--role desktopApp|fileProvider|iOS|N] version
//   brimoctl [--role …] register
//   brimoctl [--role …] watch [COUNT]     register, then print bridge-state notifications
//   brimoctl [--role …] relay CODE JSON [--repeat N]
//                                         register, relay one request to the phone, print
//                                         "error=E status=S" and the phone's response; with
//                                         --repeat, N requests one after another and the time
//   brimoctl [--role …] fileio OPERATION JSON
//                                         register, make one file-IO call as it is given, print
//                                         "code=C" and the reply
//   brimoctl [--role …] read IDENTIFIER [--out FILE]
//   brimoctl [--role …] write IDENTIFIER FILE
//   brimoctl kept                         what the drive keeps that is not on the phone yet, a
//                                         line each (the service is not asked)
//   brimoctl echo                         one round trip to the service
//   brimoctl [--role …] ping ROLE         register, then ask whether the service reaches ROLE
//   brimoctl speedtest                    the usbmux link speed test
//   brimoctl [--role …] extping COUNT     COUNT echoes from the extension to the service
//   brimoctl [--role …] throughput to-ext|from-ext SIZE COUNT
//                                         COUNT chunks of SIZE bytes between service and
//                                         extension
// Transfers show the progress the service reports. The extension measurements register as the
// extension unless --role says otherwise, so brimoctl itself answers the service's side. Other
// commands register in a role of brimoctl's own unless --role says otherwise: a diagnostic never
// takes the running desktop app's place, which the service would stop telling of the phone.
// watch, relay, fileio, read and write work only in the app's or the extension's role, so they
// need --role.

#include "service/tools/BrimoCtl.h"
#include "shared/BridgeContract.h"
#include "shared/EventLoop.h"
#include "shared/Throughput.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/ExtensionMeasurements.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/RemoteProxies.h"
#include "shared/ipc/ServiceLauncher.h"
#include "shared/messages/KeptSaves.h"

#include <asio/signal_set.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

namespace {

using namespace brimo;

int usage() {
    std::cerr << "usage: brimoctl [--role desktopApp|fileProvider|iOS|N] version | register |"
                 " watch [COUNT] | relay CODE JSON [--repeat N] | fileio OPERATION JSON |"
                 " read IDENTIFIER [--out FILE] |"
                 " write IDENTIFIER FILE | kept | echo | ping ROLE | speedtest | extping COUNT |"
                 " throughput to-ext|from-ext SIZE COUNT\n";
    return 2;
}

// One line per kept save: the item, its size, since when, and why it waits.
int listKeptSaves() {
    try {
        for (const KeptSave& save : KeptSaves(KeptSaves::folder(false)).list()) {
            const time_t when = time_t(save.keptAt);
            struct tm local {};
            ::localtime_r(&when, &local);
            char date[32];
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
            std::cout << save.identifier << "\t" << save.size << " bytes\tsince " << date << "\t"
                      << (save.saveAsked ? save.reason : "written when the drive stopped") << "\n";
        }
    } catch (const std::exception& error) {
        std::cerr << "brimoctl: " << error.what() << std::endl;
        return 1;
    }
    return 0;
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
class Client final : public ipc::ExtensionClient {
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
    // Only watch prints bridge states; other commands print their own lines.
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

// "unavailable" for the -1.0 of a measurement that could not run.
std::string seconds(double value) {
    if (value < 0) return "unavailable";
    char text[64];
    std::snprintf(text, sizeof text, "%.6f s", value);
    return text;
}

// The measurements between the service and the extension, once registered.
void measure(ipc::RemoteBridgeHost& host, const std::vector<std::string>& words,
             const std::function<void(int)>& finish) {
    const auto number = [&](size_t i) { return std::strtoull(words[i].c_str(), nullptr, 10); };
    if (words[0] == "ping") {
        host.ping(*parseRole(words[1]), [finish, name = words[1]](bool reached) {
            std::cout << "ping " << name << ": " << (reached ? "reached" : "not reached")
                      << std::endl;
            finish(reached ? 0 : 1);
        });
    } else if (words[0] == "extping") {
        const uint64_t count = number(1);
        host.requestExtToHostPing(static_cast<int64_t>(count), [finish, count](double s) {
            std::cout << "extension to service, " << count << " echoes: " << seconds(s);
            if (s >= 0 && count > 0) std::cout << " (" << s * 1000.0 / count << " ms each)";
            std::cout << std::endl;
            finish(s < 0 ? 1 : 0);
        });
    } else {
        const uint64_t size = number(2), count = number(3);
        auto done = [finish, size, count, toExtension = words[1] == "to-ext"](double s) {
            std::cout << (toExtension ? "service to extension, " : "extension to service, ")
                      << count << " x " << size << " bytes: " << seconds(s);
            if (s >= 0) std::cout << ", " << mibPerSecondText(size * count, s);
            std::cout << std::endl;
            finish(s < 0 ? 1 : 0);
        };
        if (words[1] == "to-ext")
            host.requestHostToExtThroughput(size, count, std::move(done));
        else
            host.requestExtToHostThroughput(size, count, std::move(done));
    }
}

// `count` relays of the same request, each sent when the previous one was answered.
void relayRepeatedly(ipc::RemoteBridgeHost& host, int64_t code, Bytes param, unsigned long count,
                     const std::function<void(int)>& finish) {
    struct Run {
        ipc::RemoteBridgeHost& host;
        int64_t code;
        Bytes param;
        unsigned long left;
        std::function<void(int)> finish;
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        void next(const std::shared_ptr<Run>& self) {
            if (left-- == 0) {
                const std::chrono::duration<double, std::milli> took =
                    std::chrono::steady_clock::now() - start;
                std::cout << "relayed: " << took.count() << " ms" << std::endl;
                return finish(0);
            }
            host.relayToUsbMux(code, param, [self](Bytes, int64_t error, int64_t) {
                if (error != 0) {
                    std::cerr << "brimoctl: relay failed with error " << error << std::endl;
                    return self->finish(1);
                }
                self->next(self);
            });
        }
    };
    auto run = std::make_shared<Run>(Run{host, code, std::move(param), count, finish});
    run->next(run);
}

// A role that neither the app nor the extension has.
constexpr int64_t kOwnRole = 100;

bool isMeasurement(const std::vector<std::string>& words) {
    return (words[0] == "ping" && words.size() == 2 && parseRole(words[1])) ||
           (words[0] == "extping" && words.size() == 2) ||
           (words[0] == "throughput" && words.size() == 4 &&
            (words[1] == "to-ext" || words[1] == "from-ext"));
}

} // namespace

int main(int argc, char** argv) {
    std::optional<int64_t> chosenRole;
    std::vector<std::string> words;
    std::string out;
    unsigned long repeat = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeat") {
            if (++i >= argc) return usage();
            repeat = std::strtoul(argv[i], nullptr, 10);
        } else if (arg == "--out") {
            if (++i >= argc) return usage();
            out = argv[i];
        } else if (arg == "--role") {
            if (++i >= argc) return usage();
            auto parsed = parseRole(argv[i]);
            if (!parsed) return usage();
            chosenRole = *parsed;
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return usage();
    const std::string command = words[0];
    if (command == "kept") return words.size() == 1 ? listKeptSaves() : usage();
    const bool needsRole = command == "watch" || command == "relay" || command == "fileio" ||
                           command == "read" || command == "write";
    if (needsRole && !chosenRole) {
        std::cerr << "brimoctl: " << command
                  << " needs --role (desktopApp takes the running app's place)" << std::endl;
        return 2;
    }
    const bool extensionSide = isMeasurement(words) && command != "ping";
    const int64_t role = chosenRole.value_or(
        extensionSide ? static_cast<int64_t>(TarvelBridgeClientRole::fileProvider) : kOwnRole);
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
    client->quietState = command != "watch";
    client->setConnection(connection);
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
    } else if ((command == "relay" || command == "fileio") && words.size() == 3) {
        const int64_t code = std::strtoll(words[1].c_str(), nullptr, 10);
        Bytes param(words[2].begin(), words[2].end());
        host.registerClient(
            role, [&, code, param = std::move(param), relay = command == "relay"](bool ok) mutable {
                if (!ok) {
                    std::cerr << "brimoctl: registration refused" << std::endl;
                    return finish(1);
                }
                if (relay && repeat > 0)
                    relayRepeatedly(host, code, std::move(param), repeat, finish);
                else if (relay)
                    host.relayToUsbMux(
                        code, std::move(param), [&](Bytes response, int64_t error, int64_t status) {
                            std::cout << "error=" << error << " status=" << status << "\n"
                                      << std::string(response.begin(), response.end()) << std::endl;
                            finish(error == 0 ? 0 : 1);
                        });
                else
                    host.requestFileIO(code, std::move(param), [&](Bytes reply, int64_t result) {
                        std::cout << "code=" << result << "\n"
                                  << std::string(reply.begin(), reply.end()) << std::endl;
                        finish(result == 0 ? 0 : 1);
                    });
            });
    } else if (command == "echo") {
        const auto start = std::chrono::steady_clock::now();
        host.echo([&, start] {
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - start;
            std::cout << "echo: " << took.count() << " ms" << std::endl;
            finish(0);
        });
    } else if (command == "speedtest") {
        host.runUsbMuxSpeedTest([&](bool ok, std::string report) {
            (ok ? std::cout : std::cerr) << report << std::endl;
            finish(ok ? 0 : 1);
        });
    } else if (isMeasurement(words)) {
        host.registerClient(role, [&](bool ok) {
            if (!ok) {
                std::cerr << "brimoctl: registration refused" << std::endl;
                return finish(1);
            }
            measure(host, words, finish);
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
