// A fault soak of the real BrimoService: the phone simulator and the service run as child
// processes (their sanitizer reports go to files in the run's scratch directory), two clients
// move files both ways through the service while a third keeps asking for echoes and the
// version, the simulator is told to misbehave at random, and some calls are made on connections
// that hang up before the answer. Reads and writes use sizes from 0 B to 30 MiB.
//
// The run fails when a call gets no reply within its bound or more than one reply, a successful
// read or write is not byte-exact, a finished transfer leaves a file in the shared container,
// the service stops answering or does not exit cleanly, or a sanitizer reported anything.
//
// usage: soak_driver [--seed N] [--ops N] [--hangup-percent P] [--large-percent P]
//                    [--spare CALL]... [--wait-for-sweep] [--keep-scratch]
// --large-percent: the share of ops (after the first, which move each edge size both ways) that
// move 64 KiB to 30 MiB; the others move 0, 1, 4 MiB ± 1 or up to 64 KiB.
// --spare: no client hangs up during CALL (beginRead, beginWrite, lookup, RunUsbMuxSpeedTest,
// Shutdown, FilesystemDidUnmount), to look past a fault already known there.

#include "shared/messages/FileIOMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/Names.h"
#include "tests/support/BoundedCall.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeTools.h"
#include "tests/support/QuietClient.h"
#include "tests/support/SimProcess.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace brimo;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::boundedCall;
using test::QuietClient;

constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kChunk = 4 * kMiB;
constexpr int64_t kBeginRead = 0, kEndRead = 1, kBeginWrite = 2, kEndWrite = 3;
constexpr int64_t kLookup = 2;
constexpr int64_t kFileProvider = 0, kDesktopApp = 1;

// The service sets no time limit on a request to the phone; every fault below ends within a few
// seconds (held requests end when the phone is re-attached), so a call that waits longer than
// these bounds was lost.
constexpr auto kTransferBound = std::chrono::milliseconds(120s);
constexpr auto kQuickBound = std::chrono::milliseconds(30s);

struct Options {
    uint64_t seed = 1;
    int ops = 100;
    int hangupPercent = 10;
    int largePercent = 30; // of the ops after the edge sizes: 64 KiB to 30 MiB
    bool waitForSweep = false;
    bool keepScratch = false;
    std::set<std::string> sparedCalls; // calls no client hangs up during
};

// A reproducible byte pattern per (seed, tag), so that a wrong offset or a stale chunk shows.
Bytes pattern(uint64_t seed, uint64_t tag, uint64_t size) {
    Bytes bytes(size);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull ^ (tag + 1) * 0xBF58476D1CE4E5B9ull;
    for (uint64_t i = 0; i < size; i += 8) {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (uint64_t b = 0; b < 8 && i + b < size; ++b)
            bytes[i + b] = static_cast<uint8_t>(z >> (8 * b));
    }
    return bytes;
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::optional<Bytes> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where two byte strings first differ, for the report.
std::string firstDifference(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size())
        return "size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    return "byte " + std::to_string(at) + " differs";
}

asio::awaitable<void> sleepFor(std::chrono::milliseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

std::shared_ptr<ipc::ClientConnection> openConnection(asio::any_io_executor loop) {
    auto connection = ipc::ClientConnection::connect(std::move(loop), ipc::kServiceName);
    connection->setExportedObject(std::make_shared<QuietClient>());
    connection->resume();
    return connection;
}

// Whether `pid`, a child of ours, is still running (an exited one is left for the final wait).
bool childRunning(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

struct Counts {
    int ops = 0;
    int reads = 0, writes = 0, hangups = 0;
    int readOk = 0, writeOk = 0;
    int faults = 0;
    int probes = 0;
    std::map<std::string, int> failures;     // by step and reply code
    std::map<std::string, int> faultKinds;   // injected, by kind
    std::map<std::string, int> hangupCalls;  // hung up during, by call
    std::map<std::string, int> failedWrites; // what the phone's file held after a failed write
    std::map<std::string, int> sizes;        // notable sizes moved successfully
};

class Soak {
public:
    Soak(Options options, fs::path scratch)
        : options_(options)
        , scratch_(std::move(scratch))
        , phoneRoot_(scratch_ / "phone")
        , container_(scratch_ / "data" / "group.Ozm.Tarvel")
        , rng_(options.seed)
        , ledger_(std::make_shared<test::ReplyLedger>()) {}

    ~Soak() {
        if (servicePid_ > 0) test::stopChild(servicePid_);
    }
    int run();

private:
    asio::awaitable<void> soak();
    asio::awaitable<void> dataWorker(int64_t role);
    asio::awaitable<void> prober();
    asio::awaitable<void> faulter();
    asio::awaitable<bool> registerAs(ipc::ClientConnection& connection, int64_t role);
    asio::awaitable<void> readOp(ipc::ClientConnection& connection, int op, uint64_t size);
    asio::awaitable<void> writeOp(ipc::ClientConnection& connection, int op, uint64_t size);
    asio::awaitable<void> hangupOp(int64_t role, int op);
    asio::awaitable<void> finalChecks();
    void checkContainer();
    asio::awaitable<void> restorePhone();

    uint64_t pickSize(int op);
    template <class T> T uniform(T low, T high) {
        return std::uniform_int_distribution<T>(low, high)(rng_);
    }
    bool percent(int p) { return uniform(0, 99) < p; }
    void violation(const std::string& what) {
        std::cerr << "soak: VIOLATION " << what << std::endl;
        violations_.push_back(what);
    }
    void failure(const std::string& kind) { ++counts_.failures[kind]; }
    // Checks the outcome of a call on a connection that did not hang up: it must be answered,
    // by the service itself rather than with an error of the connection.
    template <class R> bool answered(const R& result, const std::string& what) {
        if (!result.answered()) {
            violation(what + ": no reply within its bound");
            return false;
        }
        if (result.error) {
            violation(what + ": " + result.error->name + " " + result.error->message);
            return false;
        }
        return true;
    }
    bool serviceAlive() {
        if (servicePid_ > 0 && !childRunning(servicePid_)) {
            if (!serviceGone_) violation("the service exited during the run");
            serviceGone_ = true;
        }
        return !serviceGone_;
    }

    Options options_;
    fs::path scratch_, phoneRoot_, container_;
    std::mt19937_64 rng_;
    std::shared_ptr<test::ReplyLedger> ledger_;
    asio::io_context loop_;
    std::unique_ptr<test::SimProcess> sim_;
    pid_t servicePid_ = -1;
    bool serviceGone_ = false;
    int nextOp_ = 0;
    int workersLeft_ = 0;
    bool phoneDetached_ = false;
    int hungUpReads_ = 0;
    // Source files of writes whose caller hung up, and the item each was to write.
    std::map<std::string, std::string> hungUpSources_;
    Counts counts_;
    std::vector<std::string> violations_;
};

uint64_t Soak::pickSize(int op) {
    // The edges come first, so that even a short run moves each of them both ways.
    static const uint64_t edges[] = {0, 1, kChunk - 1, kChunk, kChunk + 1, 30 * kMiB};
    const int edgeCount = static_cast<int>(std::size(edges));
    if (op < 2 * edgeCount) return edges[op / 2];
    if (percent(options_.largePercent))
        return percent(10) ? 30 * kMiB : uniform<uint64_t>(64 * 1024, 30 * kMiB);
    const int roll = uniform(0, 99);
    if (roll < 15) return 0;
    if (roll < 30) return 1;
    if (roll < 45) return kChunk - 1 + uniform<uint64_t>(0, 2);
    return uniform<uint64_t>(2, 64 * 1024);
}

asio::awaitable<bool> Soak::registerAs(ipc::ClientConnection& connection, int64_t role) {
    auto result =
        co_await boundedCall<bool>(connection, kQuickBound, ledger_, [role](auto& host, auto done) {
            host.registerClient(role, std::move(done));
        });
    if (!answered(result, "registerClient")) co_return false;
    if (!std::get<0>(*result.values)) violation("registerClient refused");
    co_return std::get<0>(*result.values);
}

asio::awaitable<void> Soak::readOp(ipc::ClientConnection& connection, int op, uint64_t size) {
    ++counts_.reads;
    const std::string name = "read-" + std::to_string(op) + ".bin";
    const Bytes content = pattern(options_.seed, static_cast<uint64_t>(op), size);
    writeFile(phoneRoot_ / name, content);

    auto lookup = co_await boundedCall<Bytes, int64_t, int64_t>(
        connection, kTransferBound, ledger_, [&](auto& host, auto done) {
            host.relayToUsbMux(kLookup, encodeJson(RelayLookupRequest{name, std::nullopt}),
                               std::move(done));
        });
    if (!answered(lookup, "op " + std::to_string(op) + " lookup")) co_return;
    const auto& [lookupReply, relayError, status] = *lookup.values;
    if (relayError != 0) {
        failure("lookup: error " + std::to_string(relayError) + " status " +
                std::to_string(status));
    } else if (auto summary = decodeRelayItemSummary(lookupReply); !summary) {
        violation("op " + std::to_string(op) + " lookup: undecodable summary");
    } else if (summary->size != size) {
        violation("op " + std::to_string(op) + " lookup: size " + std::to_string(summary->size) +
                  " instead of " + std::to_string(size));
    }

    auto begin = co_await boundedCall<Bytes, int64_t>(
        connection, kTransferBound, ledger_, [&](auto& host, auto done) {
            host.requestFileIO(kBeginRead, encodeJson(FileIOBeginReadRequest{name, Uuid::random()}),
                               std::move(done));
        });
    const std::string what = "op " + std::to_string(op) + " read of " + std::to_string(size);
    if (!answered(begin, what + ": beginRead")) co_return;
    const auto& [reply, code] = *begin.values;
    if (code != 0) {
        failure("beginRead: code " + std::to_string(code));
        co_return;
    }
    const auto descriptor = decodeSharedFileDescriptor(reply);
    if (!descriptor) {
        violation(what + ": undecodable descriptor");
        co_return;
    }
    const auto shared = readFile(container_ / descriptor->fileName);
    if (!shared)
        violation(what + ": shared file " + descriptor->fileName + " missing");
    else if (*shared != content)
        violation(what + ": shared file " + firstDifference(*shared, content));
    else if (descriptor->byteCount != size)
        violation(what + ": descriptor says " + std::to_string(descriptor->byteCount) + " bytes");
    else {
        ++counts_.readOk;
        if (size == 0 || size == 1 || size == 30 * kMiB ||
            (size + 1 >= kChunk && size <= kChunk + 1))
            ++counts_.sizes["read " + std::to_string(size)];
    }

    auto end = co_await boundedCall<Bytes, int64_t>(
        connection, kQuickBound, ledger_, [&](auto& host, auto done) {
            host.requestFileIO(kEndRead, encodeJson(FileIOEndReadRequest{descriptor->token}),
                               std::move(done));
        });
    if (!answered(end, what + ": endRead")) co_return;
    if (std::get<1>(*end.values) != 0)
        violation(what + ": endRead code " + std::to_string(std::get<1>(*end.values)));
    if (fs::exists(container_ / descriptor->fileName))
        violation(what + ": shared file still there after endRead");
    fs::remove(phoneRoot_ / name);
}

asio::awaitable<void> Soak::writeOp(ipc::ClientConnection& connection, int op, uint64_t size) {
    ++counts_.writes;
    const std::string name = "write-" + std::to_string(op) + ".bin";
    const std::string what = "op " + std::to_string(op) + " write of " + std::to_string(size);
    // Half the writes replace a file, so that a failed one shows what it left of the old.
    std::optional<Bytes> old;
    if (percent(50)) {
        old =
            pattern(options_.seed, 1000000 + static_cast<uint64_t>(op), uniform<uint64_t>(0, kMiB));
        writeFile(phoneRoot_ / name, *old);
    }
    const Bytes content = pattern(options_.seed, 2000000 + static_cast<uint64_t>(op), size);
    const Uuid session = Uuid::random();
    const std::string token = session.toString();
    const std::string source = "soak_" + token + ".src";
    writeFile(container_ / source, content);

    auto lookup = co_await boundedCall<Bytes, int64_t, int64_t>(
        connection, kTransferBound, ledger_, [&](auto& host, auto done) {
            host.relayToUsbMux(kLookup, encodeJson(RelayLookupRequest{name, std::nullopt}),
                               std::move(done));
        });
    if (!answered(lookup, what + ": lookup")) co_return;
    Bytes expected;
    if (std::get<1>(*lookup.values) == 0) {
        if (auto summary = decodeRelayItemSummary(std::get<0>(*lookup.values)))
            expected = summary->contentVersion;
    } else if (std::get<2>(*lookup.values) != 2 || old) {
        failure("lookup: error " + std::to_string(std::get<1>(*lookup.values)) + " status " +
                std::to_string(std::get<2>(*lookup.values)));
    }

    auto begin = co_await boundedCall<Bytes, int64_t>(
        connection, kTransferBound, ledger_, [&](auto& host, auto done) {
            host.requestFileIO(
                kBeginWrite,
                encodeJson(FileIOBeginWriteRequest{name, session, expected, token, source, size}),
                std::move(done));
        });
    if (!answered(begin, what + ": beginWrite")) co_return;
    const auto& [reply, code] = *begin.values;
    const auto onPhone = readFile(phoneRoot_ / name);
    if (code == 0) {
        const auto summary = decodeRelayItemSummary(reply);
        if (!summary)
            violation(what + ": undecodable summary");
        else if (summary->size != size)
            violation(what + ": summary says " + std::to_string(summary->size) + " bytes");
        else if (!onPhone)
            violation(what + ": the phone's file is missing");
        else if (*onPhone != content)
            violation(what + ": the phone's file " + firstDifference(*onPhone, content));
        else {
            ++counts_.writeOk;
            if (size == 0 || size == 1 || size == 30 * kMiB ||
                (size + 1 >= kChunk && size <= kChunk + 1))
                ++counts_.sizes["write " + std::to_string(size)];
        }
    } else {
        failure("beginWrite: code " + std::to_string(code));
        std::string left;
        if (!onPhone)
            left = old ? "old file gone" : "no file (as before)";
        else if (old && *onPhone == *old)
            left = "old content intact";
        else if (*onPhone == content)
            left = "new content complete";
        else if (!old && onPhone->empty())
            left = "new empty file";
        else
            left = "partial content (" + std::to_string(onPhone->size()) + " of " +
                   std::to_string(size) + " bytes)";
        ++counts_.failedWrites[left];
    }

    auto end = co_await boundedCall<Bytes, int64_t>(
        connection, kQuickBound, ledger_, [&](auto& host, auto done) {
            host.requestFileIO(kEndWrite, encodeJson(FileIOEndWriteRequest{token}),
                               std::move(done));
        });
    if (!answered(end, what + ": endWrite")) co_return;
    if (std::get<1>(*end.values) != 0)
        violation(what + ": endWrite code " + std::to_string(std::get<1>(*end.values)));
    // A write turned away before it started (not registered, a bad request, no phone) has no
    // transfer that endWrite could end: its source file is still the caller's to delete. Code 4
    // may also come from a transfer that did start, so it is given the benefit of the doubt.
    if (fs::exists(container_ / source)) {
        if (code != 1 && code != 3 && code != 4)
            violation(what + ": source file still there after endWrite (beginWrite code " +
                      std::to_string(code) + ")");
        ++counts_.failedWrites["source file left to the caller (beginWrite code " +
                               std::to_string(code) + ")"];
        fs::remove(container_ / source);
    }
    fs::remove(phoneRoot_ / name);
}

// A client that starts a call and closes its connection before the reply can come.
asio::awaitable<void> Soak::hangupOp(int64_t role, int op) {
    auto connection = openConnection(co_await asio::this_coro::executor);
    if (!co_await registerAs(*connection, role)) co_return;
    const std::string tag = std::to_string(op);
    auto ignore = [](auto&&...) {};
    auto host = connection->remoteObjectProxy([](const ipc::RemoteError&) {});
    static const std::pair<const char*, int> calls[] = {
        {"beginRead", 35},          {"beginWrite", 25}, {"lookup", 20},
        {"RunUsbMuxSpeedTest", 10}, {"Shutdown", 5},    {"FilesystemDidUnmount", 5}};
    int total = 0;
    for (const auto& [name, weight] : calls)
        if (!options_.sparedCalls.contains(name)) total += weight;
    if (total == 0) co_return;
    // The first hang-ups go through every call once, so that even a short run has each.
    int roll = uniform(0, total - 1);
    std::string call;
    for (const auto& [name, weight] : calls) {
        if (options_.sparedCalls.contains(name)) continue;
        if (counts_.hangups < static_cast<int>(std::size(calls))
                ? !counts_.hangupCalls.contains(name)
                : roll < weight) {
            call = name;
            break;
        }
        roll -= weight;
    }
    if (call.empty()) call = "beginRead";
    std::chrono::milliseconds wait(uniform(0, 400));
    if (call == "beginRead") {
        const std::string name = "hangup-" + tag + ".bin";
        writeFile(phoneRoot_ / name,
                  pattern(options_.seed, 3000000 + op, uniform<uint64_t>(0, 12 * kMiB)));
        host.requestFileIO(kBeginRead, encodeJson(FileIOBeginReadRequest{name, Uuid::random()}),
                           ignore);
        ++hungUpReads_;
    } else if (call == "beginWrite") {
        const Uuid session = Uuid::random();
        const std::string source = "soak_" + session.toString() + ".src";
        const uint64_t size = uniform<uint64_t>(0, 12 * kMiB);
        writeFile(container_ / source, pattern(options_.seed, 4000000 + op, size));
        const std::string target = "hangup-" + tag + ".out";
        hungUpSources_[source] = target;
        host.requestFileIO(kBeginWrite,
                           encodeJson(FileIOBeginWriteRequest{
                               target, session, {}, session.toString(), source, size}),
                           ignore);
    } else if (call == "lookup") {
        host.relayToUsbMux(kLookup, encodeJson(RelayLookupRequest{"", std::nullopt}), ignore);
    } else if (call == "RunUsbMuxSpeedTest") {
        host.runUsbMuxSpeedTest(ignore);
        // Hang up once the call has reached the service, and before a round (48 MiB each way)
        // can be over.
        wait = std::chrono::milliseconds(uniform(30, 200));
    } else if (call == "Shutdown") {
        host.shutdown(ignore);
    } else {
        host.filesystemDidUnmount();
        wait = 0ms;
    }
    if (wait.count() > 0) co_await sleepFor(wait);
    connection.reset();
    ++counts_.hangups;
    ++counts_.hangupCalls[call];
}

asio::awaitable<void> Soak::dataWorker(int64_t role) {
    auto connection = openConnection(co_await asio::this_coro::executor);
    bool registered = co_await registerAs(*connection, role);
    while (registered && nextOp_ < options_.ops && serviceAlive()) {
        const int op = nextOp_++;
        ++counts_.ops;
        // The first ops alternate a read and a write of each edge size.
        const uint64_t size = pickSize(op);
        if (op < 12 ? op % 2 == 0 : percent(55))
            co_await readOp(*connection, op, size);
        else
            co_await writeOp(*connection, op, size);
        if (op % 10 == 9)
            std::cerr << "soak: " << op + 1 << " of " << options_.ops << " ops" << std::endl;
        if (percent(options_.hangupPercent)) {
            co_await hangupOp(role, op);
            // The hung-up connection took the role over, and a connection that lost its role
            // cannot register again: carry on with a new one.
            connection = openConnection(co_await asio::this_coro::executor);
            registered = co_await registerAs(*connection, role);
        }
    }
}

asio::awaitable<void> Soak::prober() {
    auto connection = openConnection(co_await asio::this_coro::executor);
    while (workersLeft_ > 0 && serviceAlive()) {
        ++counts_.probes;
        if (percent(50)) {
            auto echo =
                co_await boundedCall<>(*connection, kQuickBound, ledger_,
                                       [](auto& host, auto done) { host.echo(std::move(done)); });
            answered(echo, "Echo");
        } else {
            auto version = co_await boundedCall<int64_t>(
                *connection, kQuickBound, ledger_,
                [](auto& host, auto done) { host.getXPCServiceVersion(std::move(done)); });
            answered(version, "GetXPCServiceVersion");
        }
        co_await sleepFor(std::chrono::milliseconds(uniform(20, 300)));
    }
}

// Takes every fault back and plugs the phone in. Faults survive a detach and can only be cleared
// while the phone is attached, and a pending drop-after may unplug it again meanwhile: repeat
// until the phone is attached with no fault left.
asio::awaitable<void> Soak::restorePhone() {
    const std::string phone = kPhone;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (sim_->control("list") == "OK") sim_->control("attach " + phone);
        if (sim_->control("fault " + phone + " clear") == "OK") {
            co_await sleepFor(100ms);
            if (sim_->control("list") != "OK") co_return;
        }
        co_await sleepFor(100ms);
    }
    violation("the simulator's phone could not be restored");
}

// Misbehaves now and then: every fault is undone within a few seconds, and a fault that holds
// requests back ends with the phone re-attached, which ends the held requests too.
asio::awaitable<void> Soak::faulter() {
    static const char* kinds[] = {"detach", "reattach", "cut",        "silent",
                                  "mute",   "refuse",   "drop-after", "delay"};
    static const int codes[] = {2, 9, 11, 15, 6};
    const std::string phone = kPhone;
    while (workersLeft_ > 0 && serviceAlive()) {
        co_await sleepFor(std::chrono::milliseconds(uniform(200, 2500)));
        if (workersLeft_ == 0) break;
        const std::string kind = kinds[uniform<size_t>(0, std::size(kinds) - 1)];
        const int code = codes[uniform<size_t>(0, std::size(codes) - 1)];
        std::string command;
        bool reattachAfter = false;
        if (kind == "detach") {
            command = "detach " + phone;
        } else if (kind == "reattach") {
            command = "reattach " + phone;
        } else if (kind == "cut") {
            command = "fault " + phone + " cut " + std::to_string(uniform<uint64_t>(1, 20 * kMiB));
        } else if (kind == "silent") {
            command = "fault " + phone + " silent on";
            reattachAfter = true;
        } else if (kind == "mute") {
            command = "fault " + phone + " mute " + std::to_string(code) + " on";
            reattachAfter = true;
        } else if (kind == "refuse") {
            command = "fault " + phone + " refuse on";
        } else if (kind == "drop-after") {
            command = "fault " + phone + " drop-after " + std::to_string(code);
        } else {
            command = "fault " + phone + " delay " +
                      (percent(50) ? std::to_string(code) + " " : std::string()) +
                      std::to_string(uniform(10, 1500));
        }
        co_await restorePhone();
        const std::string answer = sim_->control(command);
        if (answer.rfind("OK", 0) != 0) {
            violation("simulator refused `" + command + "`: " + answer);
            continue;
        }
        ++counts_.faults;
        ++counts_.faultKinds[kind];
        co_await sleepFor(std::chrono::milliseconds(uniform(100, 3000)));
        co_await restorePhone();
        // Requests held back by silent or mute end only with their connection.
        if (reattachAfter) sim_->control("reattach " + phone);
    }
}

// Waits until no transfer writes into the container any more, then checks that every file left
// there belongs to a transfer that is still registered: one whose caller hung up before it could
// end it. With --wait-for-sweep, waits for the stale-transfer sweep to take those too.
void Soak::checkContainer() {
    auto listing = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(container_))
            names.insert(entry.path().filename().string());
        return names;
    };
    auto settled = std::chrono::steady_clock::now();
    auto last = listing();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(250ms);
        auto now = listing();
        const bool writing = std::any_of(now.begin(), now.end(), [](const std::string& name) {
            return name.ends_with(".part");
        });
        if (now != last || writing) settled = std::chrono::steady_clock::now();
        last = std::move(now);
        if (std::chrono::steady_clock::now() - settled > 3s) break;
    }
    int bins = 0;
    for (const std::string& name : last) {
        if (name.starts_with("transfer_") && name.ends_with(".bin"))
            ++bins;
        else if (!hungUpSources_.contains(name))
            violation("container holds " + name + ", which no transfer owns");
    }
    if (bins > hungUpReads_)
        violation("container holds " + std::to_string(bins) + " read files, but only " +
                  std::to_string(hungUpReads_) + " reads were left unended");
    std::cerr << "soak: container after the run: " << last.size()
              << " file(s) of transfers whose caller hung up" << std::endl;
    if (!options_.waitForSweep || last.empty()) return;
    // A write whose caller hung up before the service took the call, or that was turned away
    // at once, never became a transfer: its source file is the caller's. One that did start
    // created its item on the phone, and the sweep must take its source file.
    for (const auto& [source, target] : hungUpSources_) {
        if (fs::exists(container_ / source) && !fs::exists(phoneRoot_ / target)) {
            ++counts_.failedWrites["hung-up write never started; source left to the caller"];
            fs::remove(container_ / source);
        }
    }
    // The sweep runs every 30 s and takes entries older than 120 s.
    std::cerr << "soak: waiting for the stale-transfer sweep" << std::endl;
    const auto sweepDeadline = std::chrono::steady_clock::now() + 200s;
    while (!listing().empty() && std::chrono::steady_clock::now() < sweepDeadline)
        std::this_thread::sleep_for(1s);
    for (const std::string& name : listing())
        violation("container still holds " + name + " after the stale-transfer sweep");
}

asio::awaitable<void> Soak::finalChecks() {
    co_await restorePhone();
    auto connection = openConnection(co_await asio::this_coro::executor);
    auto version =
        co_await boundedCall<int64_t>(*connection, kQuickBound, ledger_, [](auto& host, auto done) {
            host.getXPCServiceVersion(std::move(done));
        });
    if (answered(version, "final GetXPCServiceVersion") && std::get<0>(*version.values) != 1)
        violation("final GetXPCServiceVersion: " + std::to_string(std::get<0>(*version.values)));
    auto echo = co_await boundedCall<>(*connection, kQuickBound, ledger_,
                                       [](auto& host, auto done) { host.echo(std::move(done)); });
    answered(echo, "final Echo");

    // The service still moves a file once the phone behaves (it may take a moment to see the
    // phone again after the last re-attach).
    if (!co_await registerAs(*connection, kFileProvider)) co_return;
    const Bytes content = pattern(options_.seed, 5000000, 100000);
    writeFile(phoneRoot_ / "final.bin", content);
    bool read = false;
    for (int attempt = 0; attempt < 30 && !read; ++attempt) {
        auto begin = co_await boundedCall<Bytes, int64_t>(
            *connection, kTransferBound, ledger_, [](auto& host, auto done) {
                host.requestFileIO(kBeginRead,
                                   encodeJson(FileIOBeginReadRequest{"final.bin", Uuid::random()}),
                                   std::move(done));
            });
        if (!answered(begin, "final beginRead")) co_return;
        if (std::get<1>(*begin.values) != 0) {
            co_await sleepFor(1s);
            continue;
        }
        read = true;
        const auto descriptor = decodeSharedFileDescriptor(std::get<0>(*begin.values));
        if (!descriptor || readFile(container_ / descriptor->fileName) != content) {
            violation("final read: wrong content");
            co_return;
        }
        auto end = co_await boundedCall<Bytes, int64_t>(
            *connection, kQuickBound, ledger_, [&](auto& host, auto done) {
                host.requestFileIO(kEndRead, encodeJson(FileIOEndReadRequest{descriptor->token}),
                                   std::move(done));
            });
        answered(end, "final endRead");
    }
    if (!read) violation("final read: the service no longer reads from the phone");
}

asio::awaitable<void> Soak::soak() {
    // A task that throws is a failure of the driver, reported as such.
    auto finished = [this](std::string task, bool worker) {
        return [this, task, worker](std::exception_ptr error) {
            if (worker) --workersLeft_;
            if (!error) return;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                violation(task + " failed: " + e.what());
            }
        };
    };
    workersLeft_ = 2;
    asio::co_spawn(loop_, dataWorker(kFileProvider), finished("file-provider client", true));
    asio::co_spawn(loop_, dataWorker(kDesktopApp), finished("desktop-app client", true));
    asio::co_spawn(loop_, prober(), finished("prober", false));
    asio::co_spawn(loop_, faulter(), finished("fault injector", false));
    while (workersLeft_ > 0)
        co_await sleepFor(100ms);
    // Let the prober and the faulter see the end.
    co_await sleepFor(3500ms);
    if (serviceAlive()) co_await finalChecks();
}

int Soak::run() {
    fs::create_directories(phoneRoot_);
    fs::create_directories(scratch_ / "runtime");
    fs::permissions(scratch_ / "runtime", fs::perms::owner_all);
    fs::create_directories(container_);
    const fs::path sanitizerLogs = scratch_ / "sanitizer";
    fs::create_directories(sanitizerLogs);
    ::setenv("XDG_RUNTIME_DIR", (scratch_ / "runtime").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (scratch_ / "data").c_str(), 1);
    // Read by the children's sanitizer runtimes only; this process has parsed its own already.
    auto sanitizerOptions = [&](const char* variable, const std::string& added) {
        const char* given = std::getenv(variable);
        ::setenv(variable, ((given && *given ? std::string(given) + ":" : "") + added).c_str(), 1);
    };
    sanitizerOptions("ASAN_OPTIONS", "log_path=" + (sanitizerLogs / "asan").string());
    sanitizerOptions("UBSAN_OPTIONS",
                     "print_stacktrace=1:log_path=" + (sanitizerLogs / "ubsan").string());
    test::FakeTools tools(scratch_ / "tools");
    ::setenv("BRIMO_MOUNT_TOOL", tools.mountTool().c_str(), 1);
    ::setenv("BRIMO_UNMOUNT_TOOL", tools.unmountTool().c_str(), 1);
    ::setenv("BRIMO_OPEN_TOOL", tools.opener().c_str(), 1);
    ::setenv("BRIMO_MOUNT_TABLE", tools.mountTable().c_str(), 1);

    sim_ = std::make_unique<test::SimProcess>(
        test::SimProcess::Options{{kPhone}, "", phoneRoot_.string()});
    test::UsbmuxdAddressGuard address(sim_->usbmuxdAddress());
    const fs::path serviceLog = scratch_ / "service.log";
    const int logFd = ::open(serviceLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    servicePid_ = test::spawnChild({BRIMO_SERVICE_PATH}, logFd, logFd);
    ::close(logFd);
    const fs::path socket = scratch_ / "runtime" / ipc::kServiceName;
    for (int i = 0; i < 200 && !fs::exists(socket); ++i)
        std::this_thread::sleep_for(50ms);

    std::cerr << "soak: seed " << options_.seed << ", " << options_.ops << " ops, scratch "
              << scratch_.string() << std::endl;
    const auto started = std::chrono::steady_clock::now();
    // Connections left over (those of hung-up calls' tasks included) would keep the loop busy.
    asio::co_spawn(loop_, soak(), [&](std::exception_ptr error) {
        loop_.stop();
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            violation(std::string("driver failed: ") + e.what());
        }
    });
    loop_.run();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (ledger_->extraReplies > 0)
        violation(std::to_string(ledger_->extraReplies) + " call(s) answered more than once");
    if (ledger_->lateReplies > 0)
        violation(std::to_string(ledger_->lateReplies) + " call(s) answered after their bound");
    if (!serviceGone_) checkContainer();

    const int exitCode = test::stopChild(servicePid_);
    servicePid_ = -1;
    if (exitCode != 0)
        violation("the service ended with status " + std::to_string(exitCode) +
                  " (0 after SIGTERM expected)");
    sim_->stop();
    if (sim_->lastExitCode() != 0)
        violation("the simulator ended with status " + std::to_string(sim_->lastExitCode()));

    for (const auto& entry : fs::directory_iterator(sanitizerLogs)) {
        const std::string text = readText(entry.path());
        if (text.empty()) continue;
        violation("sanitizer report " + entry.path().filename().string());
        std::cerr << "----- " << entry.path().string() << "\n" << text << "-----" << std::endl;
    }
    if (!violations_.empty()) {
        std::cerr << "----- service log (last lines)" << std::endl;
        const std::string log = readText(serviceLog);
        std::cerr << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "-----" << std::endl;
    }

    std::cout << "soak: seed " << options_.seed << ", " << seconds << " s\n"
              << "ops " << counts_.ops << ": reads " << counts_.reads << " (ok " << counts_.readOk
              << "), writes " << counts_.writes << " (ok " << counts_.writeOk << "), hang-ups "
              << counts_.hangups << "\n"
              << "probes (echo/version) " << counts_.probes << "\n"
              << "faults injected " << counts_.faults << ":";
    for (const auto& [kind, n] : counts_.faultKinds)
        std::cout << " " << kind << "=" << n;
    std::cout << "\nhung up during:";
    for (const auto& [call, n] : counts_.hangupCalls)
        std::cout << " " << call << "=" << n;
    std::cout << "\nfailures by kind:\n";
    for (const auto& [kind, n] : counts_.failures)
        std::cout << "  " << kind << ": " << n << "\n";
    std::cout << "failed writes left on the phone:\n";
    for (const auto& [left, n] : counts_.failedWrites)
        std::cout << "  " << left << ": " << n << "\n";
    std::cout << "edge sizes moved:";
    for (const auto& [size, n] : counts_.sizes)
        std::cout << " [" << size << "]x" << n;
    std::cout << "\nviolations: " << violations_.size() << std::endl;
    for (const std::string& v : violations_)
        std::cout << "  " << v << "\n";
    const bool passed = violations_.empty();
    if (passed && !options_.keepScratch)
        fs::remove_all(scratch_);
    else
        std::cout << "scratch kept: " << scratch_.string() << "\n";
    std::cout << (passed ? "SOAK PASSED" : "SOAK FAILED") << std::endl;
    return passed ? 0 : 1;
}

int usage() {
    std::cerr << "usage: soak_driver [--seed N] [--ops N] [--hangup-percent P]"
                 " [--large-percent P] [--spare CALL]... [--wait-for-sweep] [--keep-scratch]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&]() -> std::optional<uint64_t> {
            if (++i >= argc) return std::nullopt;
            char* end = nullptr;
            const unsigned long long value = std::strtoull(argv[i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0') return std::nullopt;
            return value;
        };
        if (arg == "--seed") {
            auto value = number();
            if (!value) return usage();
            options.seed = *value;
        } else if (arg == "--ops") {
            auto value = number();
            if (!value || *value == 0) return usage();
            options.ops = static_cast<int>(*value);
        } else if (arg == "--hangup-percent") {
            auto value = number();
            if (!value || *value > 100) return usage();
            options.hangupPercent = static_cast<int>(*value);
        } else if (arg == "--large-percent") {
            auto value = number();
            if (!value || *value > 100) return usage();
            options.largePercent = static_cast<int>(*value);
        } else if (arg == "--spare") {
            if (++i >= argc) return usage();
            options.sparedCalls.insert(argv[i]);
        } else if (arg == "--wait-for-sweep") {
            options.waitForSweep = true;
        } else if (arg == "--keep-scratch") {
            options.keepScratch = true;
        } else {
            return usage();
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/brimo-soak-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::cerr << "soak: cannot create a scratch directory\n";
        return 1;
    }
    try {
        return Soak(options, pattern).run();
    } catch (const std::exception& error) {
        std::cerr << "soak: " << error.what() << std::endl;
        return 1;
    }
}
