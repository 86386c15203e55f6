// The service's memory under load: the real BrimoService against the phone simulator, with many
// concurrent clients doing lookups (RelayToUsbMux code 2) and reads of 0–1 MiB for a while.
// Prints the service's peak resident set (VmHWM) against the 96 MiB goal and against its own idle
// resident set measured at the start of the same run, and the operations done. Asserts nothing.
//
// The service keeps one connection per data role, and a connection that lost its role cannot
// take it again, so every operation runs on a connection of its own that registers and calls at
// once (like a short-lived extension process); a call that arrives after another client took the
// role is refused and counted as such.
//
// usage: memory_load_bench [--seconds N, default 60] [--clients N, default 50]

#include "shared/messages/FileIOMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/Names.h"
#include "tests/support/BoundedCall.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/QuietClient.h"
#include "tests/support/SimProcess.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

using namespace brimo;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::boundedCall;
using test::QuietClient;

constexpr const char* kPhone = "00008030-0000000000BE4C13";
constexpr int64_t kBeginRead = 0, kEndRead = 1, kLookup = 2;
constexpr int kFiles = 32;
constexpr double kGoalMiB = 96.0;
constexpr auto kBound = std::chrono::milliseconds(60s);

// A field of /proc/PID/status in KiB, or -1.
long statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

// A connection that has asked for `role`; calls made on it right away follow the registration.
std::shared_ptr<ipc::ClientConnection> registeredConnection(asio::any_io_executor loop,
                                                            int64_t role) {
    auto connection = ipc::ClientConnection::connect(std::move(loop), ipc::kServiceName);
    connection->setExportedObject(std::make_shared<QuietClient>());
    connection->resume();
    connection->remoteObjectProxy([](const ipc::RemoteError&) {}).registerClient(role, [](bool) {});
    return connection;
}

struct Tally {
    long lookups = 0, reads = 0, readBytes = 0, refused = 0, failed = 0, unanswered = 0;
};

class Load {
public:
    Load(int clients, std::chrono::seconds duration)
        : clients_(clients)
        , deadline_(std::chrono::steady_clock::now() + duration) {}

    void run() {
        for (int i = 0; i < clients_; ++i)
            asio::co_spawn(loop_, client(i), asio::detached);
        loop_.run();
    }
    const Tally& tally() const { return tally_; }

private:
    asio::awaitable<void> client(int index) {
        std::mt19937 rng(static_cast<unsigned>(index));
        const int64_t role = index % 2;
        const auto executor = co_await asio::this_coro::executor;
        while (std::chrono::steady_clock::now() < deadline_) {
            auto connection = registeredConnection(executor, role);
            const std::string name = "load-" + std::to_string(rng() % kFiles) + ".bin";
            if (rng() % 2 == 0) {
                auto lookup = co_await boundedCall<Bytes, int64_t, int64_t>(
                    *connection, kBound, ledger_, [&](auto& host, auto done) {
                        host.relayToUsbMux(kLookup,
                                           encodeJson(RelayLookupRequest{name, std::nullopt}),
                                           std::move(done));
                    });
                if (!lookup.values)
                    ++(lookup.answered() ? tally_.failed : tally_.unanswered);
                else if (std::get<1>(*lookup.values) == 0)
                    ++tally_.lookups;
                else
                    ++(std::get<1>(*lookup.values) == 1 ? tally_.refused : tally_.failed);
                continue;
            }
            auto begin = co_await boundedCall<Bytes, int64_t>(
                *connection, kBound, ledger_, [&](auto& host, auto done) {
                    host.requestFileIO(kBeginRead,
                                       encodeJson(FileIOBeginReadRequest{name, Uuid::random()}),
                                       std::move(done));
                });
            if (!begin.values) {
                ++(begin.answered() ? tally_.failed : tally_.unanswered);
                continue;
            }
            if (std::get<1>(*begin.values) != 0) {
                ++(std::get<1>(*begin.values) == 1 ? tally_.refused : tally_.failed);
                continue;
            }
            const auto descriptor = decodeSharedFileDescriptor(std::get<0>(*begin.values));
            if (!descriptor) {
                ++tally_.failed;
                continue;
            }
            ++tally_.reads;
            tally_.readBytes += static_cast<long>(descriptor->byteCount);
            // endRead needs the role too; a refused one is tried again on a new connection,
            // since a read left open keeps its file until the sweep.
            for (int attempt = 0; attempt < 50; ++attempt) {
                if (attempt > 0) connection = registeredConnection(executor, role);
                auto end = co_await boundedCall<Bytes, int64_t>(
                    *connection, kBound, ledger_, [&](auto& host, auto done) {
                        host.requestFileIO(kEndRead,
                                           encodeJson(FileIOEndReadRequest{descriptor->token}),
                                           std::move(done));
                    });
                if (!end.values || std::get<1>(*end.values) != 1) break;
            }
        }
        if (--clients_ == 0) loop_.stop();
    }

    asio::io_context loop_;
    int clients_;
    std::chrono::steady_clock::time_point deadline_;
    std::shared_ptr<test::ReplyLedger> ledger_ = std::make_shared<test::ReplyLedger>();
    Tally tally_;
};

int usage() {
    std::cerr << "usage: memory_load_bench [--seconds N] [--clients N]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    long seconds = 60, clients = 50;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg != "--seconds" && arg != "--clients") || i + 1 >= argc) return usage();
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (value <= 0) return usage();
        (arg == "--seconds" ? seconds : clients) = value;
    }
    std::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/brimo-membench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path scratch = pattern;
    const fs::path root = scratch / "phone";
    fs::create_directories(root);
    fs::create_directories(scratch / "runtime");
    fs::permissions(scratch / "runtime", fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (scratch / "runtime").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    std::mt19937 rng(1);
    for (int i = 0; i < kFiles; ++i) {
        std::string content(rng() % (1024 * 1024 + 1), '\0');
        for (char& c : content)
            c = static_cast<char>(rng());
        std::ofstream(root / ("load-" + std::to_string(i) + ".bin"), std::ios::binary) << content;
    }

    int status = 0;
    pid_t service = -1;
    try {
        test::SimProcess sim({{kPhone}, "", root.string()});
        test::UsbmuxdAddressGuard address(sim.usbmuxdAddress());
        const int log = ::open((scratch / "service.log").c_str(), O_WRONLY | O_CREAT, 0600);
        service = test::spawnChild({BRIMO_SERVICE_PATH}, -1, log);
        ::close(log);
        const fs::path socket = scratch / "runtime" / ipc::kServiceName;
        for (int i = 0; i < 200 && !fs::exists(socket); ++i)
            std::this_thread::sleep_for(50ms);
        // Idle: started, the phone seen, one client served.
        {
            asio::io_context loop;
            auto connection = registeredConnection(loop.get_executor(), 1);
            asio::co_spawn(
                loop,
                [&]() -> asio::awaitable<void> {
                    co_await boundedCall<>(
                        *connection, kBound, std::make_shared<test::ReplyLedger>(),
                        [](auto& host, auto done) { host.echo(std::move(done)); });
                    loop.stop();
                },
                asio::detached);
            loop.run();
        }
        std::this_thread::sleep_for(2s);
        const long idle = statusKiB(service, "VmRSS");

        std::cout << "service memory under load: " << clients << " clients, " << seconds
                  << " s of lookups and 0-1 MiB reads" << std::endl;
        Load load(static_cast<int>(clients), std::chrono::seconds(seconds));
        long sampledPeak = 0;
        std::atomic<bool> done = false;
        std::thread sampler([&] {
            while (!done) {
                sampledPeak = std::max(sampledPeak, statusKiB(service, "VmRSS"));
                std::this_thread::sleep_for(100ms);
            }
        });
        load.run();
        done = true;
        sampler.join();
        const long peak = statusKiB(service, "VmHWM");
        const Tally& t = load.tally();
        std::printf("  idle RSS            %8.1f MiB (baseline)\n", idle / 1024.0);
        std::printf("  peak RSS (VmHWM)    %8.1f MiB  ratio to idle %.2f, to the %.0f MiB goal "
                    "%.3f\n",
                    peak / 1024.0, static_cast<double>(peak) / idle, kGoalMiB,
                    peak / 1024.0 / kGoalMiB);
        std::printf("  highest sampled RSS %8.1f MiB\n", sampledPeak / 1024.0);
        std::printf("  lookups %ld, reads %ld (%.1f MiB), refused (role taken by another "
                    "client) %ld, failed %ld, unanswered %ld\n",
                    t.lookups, t.reads, t.readBytes / 1048576.0, t.refused, t.failed, t.unanswered);
    } catch (const std::exception& error) {
        std::cerr << "memory_load_bench: " << error.what() << std::endl;
        status = 1;
    }
    if (service > 0) test::stopChild(service);
    fs::remove_all(scratch);
    return status;
}
