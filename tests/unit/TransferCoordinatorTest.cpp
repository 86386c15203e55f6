#include "service/TransferCoordinator.h"
#include "service/BridgeCore.h"
#include "service/TunnelRelayBridge.h"
#include "service/tunnel/StreamSocketTransport.h"
#include "service/tunnel/TunnelFrame.h"
#include "shared/Log.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/SharedFileStorage.h"
#include "tests/common/RunAsync.h"
#include "tests/common/ServiceCoreParts.h"
#include "tests/common/SocketPairPhones.h"

#include <algorithm>
#include <asio/local/connect_pair.hpp>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

// The file syncs of this test program pass through here, so that a test can see which transfer
// files were synced and fail a sync the way the kernel reports a write-back error: once, to the
// first call that checks, fsync or fdatasync or a sync_file_range that waits; the calls after it
// succeed. Calls go on to the C library's own functions unless a fault is armed.
namespace sync_faults {

std::mutex mutex;
bool failFirstCheck = false; // a write-back error of any transfer file, reported once
bool failFsync = false;      // every fsync of a transfer file fails
// The names transfer files had when they were fsynced.
std::vector<std::string> fsynced;

std::string nameOf(int fd) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error)
        .filename()
        .string();
}

// Whether the call on `fd` fails with EIO; `isFsync` for fsync itself.
bool fails(int fd, bool checksErrors, bool isFsync) {
    const std::string name = nameOf(fd);
    if (name.rfind("transfer_", 0) != 0) return false;
    std::lock_guard lock(mutex);
    if (isFsync) fsynced.push_back(name);
    if (isFsync && failFsync) return true;
    if (!checksErrors || !failFirstCheck) return false;
    failFirstCheck = false;
    return true;
}

void reset() {
    std::lock_guard lock(mutex);
    failFirstCheck = failFsync = false;
    fsynced.clear();
}

template <class Function> Function* next(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

} // namespace sync_faults

extern "C" int fsync(int fd) {
    if (sync_faults::fails(fd, true, true)) return errno = EIO, -1;
    static auto* const real = sync_faults::next<int(int)>("fsync");
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    if (sync_faults::fails(fd, true, false)) return errno = EIO, -1;
    static auto* const real = sync_faults::next<int(int)>("fdatasync");
    return real(fd);
}

extern "C" int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
    const bool waits = flags & (SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER);
    if (sync_faults::fails(fd, waits, false)) return errno = EIO, -1;
    static auto* const real =
        sync_faults::next<int(int, off64_t, off64_t, unsigned int)>("sync_file_range");
    return real(fd, offset, count, flags);
}

namespace brimo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Reply = TransferCoordinator::FileIOReply;

constexpr int64_t kBeginRead = 0, kEndRead = 1, kBeginWrite = 2, kEndWrite = 3;
constexpr uint64_t MiB = 1024 * 1024;

Bytes pattern(size_t size, uint8_t seed = 0) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 31 + i / 4096 + seed);
    return bytes;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Reply failed(int64_t code) {
    return {Bytes{}, code};
}

// The phone's side of the file transfers over an in-memory store of items.
struct PhoneItem {
    Bytes content;
    bool isDirectory = false;
    std::optional<uint64_t> announcedSize; // what the lookup reports instead of the real size
};

struct PhoneRequest {
    uint16_t code;
    Bytes payload;
};

// The coordinator against a phone played by a server-role engine on the other end of a socket
// pair, with the shared container in a temporary data directory.
class TransferCoordinatorTest : public testing::Test, protected test::ServiceCoreParts {
protected:
    TransferCoordinatorTest() {
        char dir[] = "/tmp/brimo-transfers-XXXXXX";
        root = ::mkdtemp(dir);
        if (const char* old = std::getenv("XDG_DATA_HOME")) oldDataHome = old;
        ::setenv("XDG_DATA_HOME", root.c_str(), 1);
        container = SharedFileStorage::containerURL();

        core.addPending(extension);
        core.registerClient(extension->exportedObject(), 0);
        core.handleDeviceEvent({1, "PHONE"});
        loop.poll();
    }
    ~TransferCoordinatorTest() override {
        if (oldDataHome)
            ::setenv("XDG_DATA_HOME", oldDataHome->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        fs::remove_all(root);
    }

    asio::awaitable<TunnelMessage> answer(int connection, uint16_t code, Bytes payload) {
        if (hangUp && hangUp(connection, code, payload)) {
            co_await phones.phones.at(connection - 1)->stop();
            co_return TunnelMessage{};
        }
        requests.push_back({code, payload});
        if (intercept)
            if (auto reply = intercept(code, payload)) co_return std::move(*reply);
        co_return serve(code, payload);
    }

    Bytes summaryOf(const std::string& identifier) {
        const PhoneItem& item = items.at(identifier);
        RelayItemSummary summary;
        summary.identifier = identifier;
        summary.filename = identifier + ".dat";
        summary.isDirectory = item.isDirectory;
        summary.size = item.announcedSize.value_or(item.content.size());
        summary.contentVersion = Bytes{'v', uint8_t(item.content.size() % 256)};
        summary.metadataVersion = Bytes{'m'};
        return encodeJson(summary);
    }

    TunnelMessage serve(uint16_t code, const Bytes& payload) {
        constexpr uint16_t notFound = 2;
        switch (code) {
        case 2: {
            const auto lookup = decodeRelayLookupRequest(payload);
            if (!lookup || !items.count(lookup->identifier)) return {notFound, {}};
            return {0, summaryOf(lookup->identifier)};
        }
        case 9: {
            const auto read = decodeReadChunkRequest(payload);
            if (!read || !items.count(read->identifier)) return {notFound, {}};
            const Bytes& content = items[read->identifier].content;
            const size_t from = std::min<size_t>(read->offset, content.size());
            const size_t to = std::min<size_t>(from + read->maxLength, content.size());
            return {0, *encodeReadChunkResponse(
                           {to, to == content.size(),
                            Bytes(content.begin() + long(from), content.begin() + long(to))})};
        }
        case 15: {
            const auto truncate = decodeRelayTruncateWriteRequest(payload);
            items[truncate->identifier].content.resize(truncate->size);
            return {0, {}};
        }
        case 11: {
            const auto write = decodeWriteChunkRequest(payload);
            Bytes& content = items[write->identifier].content;
            const size_t end = write->offset + write->data.size();
            if (content.size() < end) content.resize(end);
            std::copy(write->data.begin(), write->data.end(),
                      content.begin() + long(write->offset));
            return {0, *encodeWriteChunkResponse({end, content.size(), std::nullopt})};
        }
        case 6: {
            const auto commit = decodeRelayCommitWriteRequest(payload);
            return {0, summaryOf(commit->identifier)};
        }
        }
        return {notFound, {}};
    }

    Reply call(int64_t operation, const Bytes& param, HostID host = 0) {
        return test::runAsync(
            loop,
            coordinator.requestFileIO(host ? host : extension->exportedObject(), operation, param));
    }
    Reply beginRead(const std::string& identifier) {
        return call(kBeginRead, encodeJson(FileIOBeginReadRequest{identifier, session}));
    }
    SharedFileDescriptor fetched(const std::string& identifier) {
        const Reply reply = beginRead(identifier);
        EXPECT_EQ(reply.second, 0);
        return decodeSharedFileDescriptor(reply.first).value_or(SharedFileDescriptor{});
    }
    Reply beginWrite(const std::string& identifier, const std::string& source, uint64_t byteCount,
                     const std::string& token = "W1") {
        return call(kBeginWrite,
                    encodeJson(FileIOBeginWriteRequest{identifier, session, text("expected"), token,
                                                       source, byteCount}));
    }

    std::set<std::string> containerFiles() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(container))
            names.insert(entry.path().filename());
        return names;
    }
    Bytes readShared(const std::string& name) const {
        std::ifstream in(container / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void writeShared(const std::string& name, const Bytes& content) const {
        std::ofstream(container / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), long(content.size()));
    }
    std::vector<uint16_t> requestCodes() const {
        std::vector<uint16_t> codes;
        for (const auto& request : requests)
            codes.push_back(request.code);
        return codes;
    }
    std::vector<uint64_t> readOffsets() const {
        std::vector<uint64_t> offsets;
        for (const auto& request : requests)
            if (request.code == 9)
                offsets.push_back(decodeReadChunkRequest(request.payload)->offset);
        return offsets;
    }
    // Whether exactly one log line is the benchmark line `head` followed by its timings, which
    // vary from run to run; `fileColumn` names the time spent on the shared file.
    bool benchmarked(const std::string& head, const std::string& fileColumn) const {
        const std::string ms = "[0-9]+\\.[0-9]{2}";
        const std::regex line(head + " totalMs=" + ms + " transportMs=" + ms + " " + fileColumn +
                              "=" + ms + " tailMs=" + ms + " effective=" + ms +
                              " MiB/s transportOnly=" + ms + " MiB/s");
        const auto messages = log->messages();
        return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
                   return std::regex_match(message, line);
               }) == 1;
    }
    // Moves the fake time on by `step` and waits until the sweep that woke has finished its work
    // and sleeps again.
    void advance(Clock::duration step) {
        clock.advance(step);
        loop.restart();
        loop.poll(); // the woken sweep leaves the clock's list of sleepers
        ASSERT_TRUE(test::runUntil(loop, [&] { return clock.sleeperCount() == 1; }));
    }

    log::ScopedMemorySink log;
    fs::path root, container;
    std::optional<std::string> oldDataHome;
    FakeClock clock;
    test::RecordingPushActions actions;
    std::shared_ptr<test::RecordingClient> extension = std::make_shared<test::RecordingClient>();
    // Whether the phone of a connection hangs up instead of answering a request.
    std::function<bool(int, uint16_t, const Bytes&)> hangUp;
    test::SocketPairPhones phones{loop, [this](int connection, uint16_t code, Bytes payload) {
                                      return answer(connection, code, std::move(payload));
                                  }};
    std::map<std::string, PhoneItem> items;
    std::vector<PhoneRequest> requests;
    std::function<std::optional<TunnelMessage>(uint16_t, const Bytes&)> intercept;
    TunnelRelayBridge bridge{loop.get_executor(), engine, core, clock, actions, phones.factory()};
    TransferCoordinator coordinator{loop.get_executor(), core, bridge, clock};
    Uuid session = *Uuid::parse("0B7E2D4A-1C55-4F0E-9A3B-5D6C7E8F9012");
};

TEST_F(TransferCoordinatorTest, RefusesCallersAndRequestsBeforeAskingThePhone) {
    items["doc"].content = text("content");
    const Bytes read = encodeJson(FileIOBeginReadRequest{"doc", session});

    const HostID stranger = newHostID();
    EXPECT_EQ(call(kBeginRead, read, stranger), failed(1));
    auto phoneLink = std::make_shared<test::RecordingClient>();
    core.addPending(phoneLink);
    core.registerClient(phoneLink->exportedObject(), 2);
    EXPECT_EQ(call(kBeginRead, read, phoneLink->exportedObject()), failed(1));

    for (int64_t operation : {kBeginRead, kEndRead, kBeginWrite, kEndWrite})
        EXPECT_EQ(call(operation, text("not json")), failed(3)) << operation;
    EXPECT_EQ(call(kBeginRead, encodeJson(FileIOEndReadRequest{"T"})), failed(3));
    EXPECT_EQ(call(4, read), failed(3));
    EXPECT_EQ(call(-1, read), failed(3));

    // Source names that would leave the container root.
    writeShared("inside", text("x"));
    for (const std::string name : {"", ".", "..", "../inside", "sub/inside", "/etc/passwd"})
        EXPECT_EQ(beginWrite("doc", name, 1), failed(3)) << name;
    EXPECT_EQ(coordinator.openTransferCount(), 0u);

    core.handleDeviceEvent({2, "PHONE"});
    EXPECT_EQ(call(kBeginRead, read), failed(4));
    EXPECT_EQ(beginWrite("doc", "inside", 1), failed(4));
    EXPECT_EQ(phones.opens, 0);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);

    // Ending what was never begun needs no phone and touches no file.
    EXPECT_EQ(call(kEndRead, encodeJson(FileIOEndReadRequest{"inside"})), failed(0));
    EXPECT_EQ(call(kEndWrite, encodeJson(FileIOEndWriteRequest{"inside"})), failed(0));
    EXPECT_EQ(containerFiles(), std::set<std::string>{"inside"});

    // The desktop app may move data too.
    core.handleDeviceEvent({1, "PHONE"});
    auto desktop = std::make_shared<test::RecordingClient>();
    core.addPending(desktop);
    core.registerClient(desktop->exportedObject(), 1);
    EXPECT_EQ(call(kBeginRead, read, desktop->exportedObject()).second, 0);
}

TEST_F(TransferCoordinatorTest, ThePhonesRefusalsAndUnreadableAnswers) {
    items["folder"].isDirectory = true;
    Reply reply = beginRead("folder");
    EXPECT_EQ(reply.second, 5);
    EXPECT_EQ(decodeFileIODeviceRejection(reply.first), FileIODeviceRejection{6});
    EXPECT_EQ(requestCodes(), std::vector<uint16_t>{2});

    reply = beginRead("missing");
    EXPECT_EQ(reply.second, 5);
    EXPECT_EQ(decodeFileIODeviceRejection(reply.first), FileIODeviceRejection{2});

    // A status outside the phone's range is reported as 5.
    intercept = [](uint16_t, const Bytes&) { return TunnelMessage{300, {}}; };
    reply = beginRead("folder");
    EXPECT_EQ(decodeFileIODeviceRejection(reply.first), FileIODeviceRejection{5});

    intercept = [](uint16_t, const Bytes&) { return TunnelMessage{0, text("<summary/>")}; };
    EXPECT_EQ(beginRead("folder"), failed(7));

    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);
    EXPECT_TRUE(extension->progress().empty());
    // Nothing was transferred, so no benchmark line either.
    for (const auto& message : log->messages())
        EXPECT_EQ(message.find("benchmark"), std::string::npos) << message;
}

TEST_F(TransferCoordinatorTest, AZeroByteItemIsOneChunkAndOneNotification) {
    items["empty"].content = {};
    const auto descriptor = fetched("empty");
    EXPECT_EQ(descriptor.byteCount, 0u);
    EXPECT_EQ(readOffsets(), std::vector<uint64_t>{0});
    EXPECT_EQ(containerFiles(), std::set<std::string>{descriptor.fileName});
    EXPECT_TRUE(readShared(descriptor.fileName).empty());
    ASSERT_EQ(extension->progress().size(), 1u);
    EXPECT_EQ(extension->progress()[0], (FileIOProgressPayload{session, 0, 0, 100}));
}

TEST_F(TransferCoordinatorTest, ATenMiBItemArrivesInThreeChunksAndIsDeletedByEndRead) {
    items["big"].content = pattern(10 * MiB);
    const auto descriptor = fetched("big");

    EXPECT_EQ(readOffsets(), (std::vector<uint64_t>{0, 4 * MiB, 8 * MiB}));
    EXPECT_EQ(descriptor.fileName, "transfer_" + descriptor.token + ".bin");
    ASSERT_TRUE(Uuid::parse(descriptor.token));
    EXPECT_EQ(Uuid::parse(descriptor.token)->toString(), descriptor.token);
    EXPECT_EQ(descriptor.byteCount, 10 * MiB);
    EXPECT_EQ(descriptor.contentVersion, (Bytes{'v', 0}));
    EXPECT_EQ(descriptor.metadataVersion, descriptor.contentVersion);
    EXPECT_EQ(containerFiles(), std::set<std::string>{descriptor.fileName});
    EXPECT_TRUE(readShared(descriptor.fileName) == items["big"].content);
    EXPECT_EQ(fs::status(container / descriptor.fileName).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // One notification per threshold, with the bytes that had arrived when it was crossed.
    std::vector<FileIOProgressPayload> expected;
    for (uint8_t percent = 10; percent <= 100; percent += 10) {
        const uint64_t completed = percent <= 40 ? 4 * MiB : percent <= 80 ? 8 * MiB : 10 * MiB;
        expected.push_back({session, completed, 10 * MiB, percent});
    }
    EXPECT_EQ(extension->progress(), expected);
    EXPECT_TRUE(benchmarked("fetchRemoteFile benchmark id=big outcome=ok size=10485760 "
                            "transferred=10485760 chunks=3",
                            "writeMs"));

    const Bytes end = encodeJson(FileIOEndReadRequest{descriptor.token});
    EXPECT_EQ(call(kEndRead, end), failed(0));
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);
    EXPECT_EQ(call(kEndRead, end), failed(0));
}

TEST_F(TransferCoordinatorTest, AFailedFetchLeavesNoFileBehind) {
    items["doc"].content = pattern(1000);

    // An eof byte that is neither 0 nor 1.
    intercept = [](uint16_t code, const Bytes&) -> std::optional<TunnelMessage> {
        if (code != 9) return std::nullopt;
        return TunnelMessage{0, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}};
    };
    EXPECT_EQ(beginRead("doc"), failed(7));
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_TRUE(benchmarked("fetchRemoteFile benchmark id=doc outcome=error size=1000 "
                            "transferred=0 chunks=0",
                            "writeMs"));
    intercept = nullptr;

    // The phone announces more bytes than it delivers before its end, or fewer.
    items["doc"].announcedSize = 1005;
    EXPECT_EQ(beginRead("doc"), failed(6));
    EXPECT_TRUE(containerFiles().empty());
    items["doc"].announcedSize = 999;
    EXPECT_EQ(beginRead("doc"), failed(6));
    EXPECT_TRUE(containerFiles().empty());

    // A phone that never reports the end is stopped once it goes past the announced size.
    items["endless"].announcedSize = 25;
    intercept = [](uint16_t code, const Bytes& payload) -> std::optional<TunnelMessage> {
        if (code != 9) return std::nullopt;
        const uint64_t offset = decodeReadChunkRequest(payload)->offset;
        return TunnelMessage{0, *encodeReadChunkResponse({offset + 10, false, Bytes(10, 'x')})};
    };
    requests.clear();
    EXPECT_EQ(beginRead("endless"), failed(6));
    EXPECT_EQ(readOffsets(), (std::vector<uint64_t>{0, 10, 20}));
    EXPECT_TRUE(containerFiles().empty());

    // The phone refuses a chunk midway.
    items["big"].content = pattern(9 * MiB);
    intercept = [](uint16_t code, const Bytes& payload) -> std::optional<TunnelMessage> {
        if (code == 9 && decodeReadChunkRequest(payload)->offset > 0)
            return TunnelMessage{7, encodeJson(RelayFailure{"busy"})};
        return std::nullopt;
    };
    const Reply refused = beginRead("big");
    EXPECT_EQ(refused.second, 5);
    EXPECT_EQ(decodeFileIODeviceRejection(refused.first),
              (FileIODeviceRejection{7, encodeJson(RelayFailure{"busy"})}))
        << "what the phone said comes along";
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);
}

TEST_F(TransferCoordinatorTest, AFetchIsSyncedOnceBeforeItsRenameAndAFailedSyncFailsIt) {
    items["big"].content = pattern(18 * MiB); // five chunks
    sync_faults::reset();
    const auto descriptor = fetched("big");
    EXPECT_TRUE(readShared(descriptor.fileName) == items["big"].content);
    {
        std::lock_guard lock(sync_faults::mutex);
        EXPECT_EQ(sync_faults::fsynced,
                  std::vector<std::string>{"transfer_" + descriptor.token + ".part"})
            << "durable before anyone can see it under its final name";
    }
    EXPECT_EQ(call(kEndRead, encodeJson(FileIOEndReadRequest{descriptor.token})), failed(0));

    // A write-back error, whichever sync hears of it first, and a failing final fsync.
    for (bool* fault : {&sync_faults::failFirstCheck, &sync_faults::failFsync}) {
        sync_faults::reset();
        {
            std::lock_guard lock(sync_faults::mutex);
            *fault = true;
        }
        log->clear();
        EXPECT_EQ(beginRead("big"), failed(6));
        EXPECT_TRUE(containerFiles().empty());
        EXPECT_EQ(coordinator.openTransferCount(), 0u);
        EXPECT_TRUE(benchmarked("fetchRemoteFile benchmark id=big outcome=error size=18874368 "
                                "transferred=[0-9]+ chunks=[0-9]+",
                                "writeMs"));
    }
    sync_faults::reset();
}

TEST_F(TransferCoordinatorTest, PushesASharedFileInChunksAndEndWriteDeletesIt) {
    const Bytes source = pattern(5 * MiB + 3, 7);
    writeShared("upload.tmp", source);
    const Reply reply = beginWrite("doc", "upload.tmp", source.size());
    ASSERT_EQ(reply.second, 0);
    EXPECT_EQ(decodeRelayItemSummary(reply.first)->size, source.size());
    EXPECT_TRUE(items["doc"].content == source);
    EXPECT_EQ(requestCodes(), (std::vector<uint16_t>{15, 11, 11, 6}));
    const auto truncate = decodeRelayTruncateWriteRequest(requests[0].payload);
    EXPECT_EQ(truncate, (RelayTruncateWriteRequest{"doc", source.size(), text("expected")}));
    EXPECT_EQ(decodeWriteChunkRequest(requests[1].payload)->data.size(), 4 * MiB);
    EXPECT_EQ(decodeWriteChunkRequest(requests[2].payload)->offset, 4 * MiB);

    ASSERT_EQ(extension->progress().size(), 10u);
    EXPECT_EQ(extension->progress()[6],
              (FileIOProgressPayload{session, 4 * MiB, source.size(), 70}));
    EXPECT_EQ(extension->progress()[7],
              (FileIOProgressPayload{session, source.size(), source.size(), 80}));
    EXPECT_EQ(extension->progress()[9],
              (FileIOProgressPayload{session, source.size(), source.size(), 100}));
    EXPECT_TRUE(benchmarked("pushSharedFile benchmark id=doc outcome=ok size=5242883 "
                            "transferred=5242883 chunks=2",
                            "readMs"));

    // The source stays until the caller ends the write.
    EXPECT_EQ(containerFiles(), std::set<std::string>{"upload.tmp"});
    EXPECT_EQ(call(kEndWrite, encodeJson(FileIOEndWriteRequest{"W1"})), failed(0));
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);
}

TEST_F(TransferCoordinatorTest, AZeroBytePushTruncatesAndCommits) {
    items["doc"].content = text("old content");
    writeShared("empty.tmp", {});
    const Reply reply = beginWrite("doc", "empty.tmp", 0);
    ASSERT_EQ(reply.second, 0);
    EXPECT_EQ(requestCodes(), (std::vector<uint16_t>{15, 6}));
    EXPECT_EQ(decodeRelayTruncateWriteRequest(requests[0].payload)->size, 0u);
    EXPECT_TRUE(items["doc"].content.empty());
    ASSERT_EQ(extension->progress().size(), 1u);
    EXPECT_EQ(extension->progress()[0], (FileIOProgressPayload{session, 0, 0, 100}));
}

TEST_F(TransferCoordinatorTest, AFailedPushKeepsTheSourceUntilEndWrite) {
    // The source ends before the announced count: nothing is committed.
    writeShared("short.tmp", pattern(100));
    EXPECT_EQ(beginWrite("doc", "short.tmp", 200), failed(6));
    EXPECT_EQ(requestCodes(), (std::vector<uint16_t>{15, 11}));
    EXPECT_TRUE(benchmarked("pushSharedFile benchmark id=doc outcome=error size=200 "
                            "transferred=100 chunks=1",
                            "readMs"));

    // No source file at all.
    requests.clear();
    EXPECT_EQ(beginWrite("doc", "absent.tmp", 10, "W2"), failed(6));
    EXPECT_TRUE(requests.empty());

    // The phone refuses the truncate (for example a version mismatch).
    intercept = [](uint16_t code, const Bytes&) -> std::optional<TunnelMessage> {
        if (code == 15) return TunnelMessage{4, {}};
        return std::nullopt;
    };
    const Reply refused = beginWrite("doc", "short.tmp", 100, "W3");
    EXPECT_EQ(refused.second, 5);
    EXPECT_EQ(decodeFileIODeviceRejection(refused.first), FileIODeviceRejection{4});

    EXPECT_EQ(containerFiles(), std::set<std::string>{"short.tmp"});
    EXPECT_EQ(coordinator.openTransferCount(), 3u);
    EXPECT_EQ(call(kEndWrite, encodeJson(FileIOEndWriteRequest{"W1"})), failed(0));
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 2u);
}

TEST_F(TransferCoordinatorTest, ASourceThatIsNoRegularFileIsRefusedBeforeThePhoneHearsOfIt) {
    items["doc"].content = text("phone's own");
    const fs::path outside = root / "secret";
    std::ofstream(outside) << "secret";
    fs::create_symlink(outside, container / "link.tmp");
    fs::create_directory(container / "dir.tmp");

    EXPECT_EQ(beginWrite("doc", "link.tmp", 6, "W1"), failed(3));
    EXPECT_EQ(beginWrite("doc", "dir.tmp", 0, "W2"), failed(3));
    EXPECT_TRUE(requests.empty()) << "no truncate may reach the phone";
    EXPECT_TRUE(items["doc"].content == text("phone's own"));

    // Ending those writes takes neither the link nor what it points to.
    EXPECT_EQ(call(kEndWrite, encodeJson(FileIOEndWriteRequest{"W1"})), failed(0));
    EXPECT_EQ(call(kEndWrite, encodeJson(FileIOEndWriteRequest{"W2"})), failed(0));
    EXPECT_TRUE(fs::is_symlink(container / "link.tmp"));
    EXPECT_TRUE(fs::is_directory(container / "dir.tmp"));
    EXPECT_EQ(fs::file_size(outside), 6u);

    // A read file that was swapped for a link by the time of endRead.
    const auto descriptor = fetched("doc");
    fs::remove(container / descriptor.fileName);
    fs::create_symlink(outside, container / descriptor.fileName);
    EXPECT_EQ(call(kEndRead, encodeJson(FileIOEndReadRequest{descriptor.token})), failed(0));
    EXPECT_TRUE(fs::is_symlink(container / descriptor.fileName));
    EXPECT_EQ(fs::file_size(outside), 6u);
    EXPECT_EQ(coordinator.openTransferCount(), 0u);
}

TEST_F(TransferCoordinatorTest, AFifoSourceIsRefusedAtOnceAndOtherTransfersGoOn) {
    items["doc"].content = text("content");
    const fs::path fifo = container / "pipe.tmp";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto desktop = std::make_shared<test::RecordingClient>();
    core.addPending(desktop);
    core.registerClient(desktop->exportedObject(), 1);

    // More FIFO writes than the blocking pool has workers, then another client's read.
    std::vector<std::optional<Reply>> replies(3);
    auto start = [&](size_t slot, int64_t operation, Bytes param, HostID host) {
        asio::co_spawn(loop, coordinator.requestFileIO(host, operation, std::move(param)),
                       [&replies, slot](std::exception_ptr, Reply reply) {
                           replies[slot] = std::move(reply);
                       });
    };
    for (size_t slot : {0, 1})
        start(slot, kBeginWrite,
              encodeJson(FileIOBeginWriteRequest{"doc", session, text("expected"),
                                                 "F" + std::to_string(slot), "pipe.tmp", 4}),
              extension->exportedObject());
    start(2, kBeginRead, encodeJson(FileIOBeginReadRequest{"doc", session}),
          desktop->exportedObject());
    auto allAnswered = [&] {
        return std::all_of(replies.begin(), replies.end(), [](const auto& r) { return r; });
    };
    const bool answeredAtOnce = test::runUntil(loop, allAnswered, 5s);
    // Lets an open that still waits for a writer go, so that a failure here cannot hang the run.
    if (const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); writer >= 0)
        ::close(writer);
    ASSERT_TRUE(test::runUntil(loop, allAnswered));
    EXPECT_TRUE(answeredAtOnce);
    EXPECT_EQ(*replies[0], failed(3));
    EXPECT_EQ(*replies[1], failed(3));
    EXPECT_EQ(replies[2]->second, 0);
    EXPECT_EQ(requestCodes(), (std::vector<uint16_t>{2, 9})) << "only the read reached the phone";
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(TransferCoordinatorTest, APayloadOverTheRelayLimitIsNeverSent) {
    const size_t frame = encodeJson(RelayLookupRequest{"", std::nullopt}).size();
    const std::string largest(kTunnelMaxPayload - frame, 'a');
    ASSERT_EQ(encodeJson(RelayLookupRequest{largest, std::nullopt}).size(), kTunnelMaxPayload);

    EXPECT_EQ(beginRead(largest + "a"), failed(3));
    EXPECT_TRUE(requests.empty());
    // One byte less goes through; the phone knows no such item.
    EXPECT_EQ(beginRead(largest).second, 5);
    EXPECT_EQ(requestCodes(), std::vector<uint16_t>{2});
}

TEST_F(TransferCoordinatorTest, TheSweepDeletesTransfersNobodyEnded) {
    items["doc"].content = text("content");
    const auto descriptor = fetched("doc");
    advance(60s);
    writeShared("upload.tmp", text("new"));
    ASSERT_EQ(beginWrite("doc", "upload.tmp", 3).second, 0);
    EXPECT_EQ(containerFiles(), (std::set<std::string>{descriptor.fileName, "upload.tmp"}));

    advance(60s); // 120 s after the read
    EXPECT_EQ(containerFiles(), (std::set<std::string>{descriptor.fileName, "upload.tmp"}));
    advance(30s);
    EXPECT_EQ(containerFiles(), std::set<std::string>{"upload.tmp"});
    EXPECT_EQ(coordinator.openTransferCount(), 1u);
    advance(30s); // 120 s after the write
    EXPECT_EQ(containerFiles(), std::set<std::string>{"upload.tmp"});
    advance(30s);
    EXPECT_TRUE(containerFiles().empty());
    EXPECT_EQ(coordinator.openTransferCount(), 0u);

    // A late end finds nothing.
    EXPECT_EQ(call(kEndRead, encodeJson(FileIOEndReadRequest{descriptor.token})), failed(0));
}

TEST_F(TransferCoordinatorTest, ABrokenTunnelIsResetAndEachRequestRetriedOnce) {
    items["doc"].content = pattern(6 * MiB);
    // The first connection hangs up on the lookup; the fetch goes on over the second.
    hangUp = [](int connection, uint16_t, const Bytes&) { return connection == 1; };
    const auto first = fetched("doc");
    EXPECT_EQ(phones.opens, 2);
    EXPECT_TRUE(readShared(first.fileName) == items["doc"].content);

    // The second connection hangs up on the last chunk; the third serves it.
    requests.clear();
    hangUp = [](int connection, uint16_t code, const Bytes& payload) {
        return connection == 2 && code == 9 && decodeReadChunkRequest(payload)->offset > 0;
    };
    const auto second = fetched("doc");
    EXPECT_EQ(phones.opens, 3);
    EXPECT_EQ(readOffsets(), (std::vector<uint64_t>{0, 4 * MiB}));
    EXPECT_TRUE(readShared(second.fileName) == items["doc"].content);

    // Hung up on again after the reset: a failure in transit.
    hangUp = [](int connection, uint16_t, const Bytes&) { return connection >= 3; };
    EXPECT_EQ(beginRead("doc"), failed(6));
    EXPECT_EQ(phones.opens, 4);

    // No tunnel can be opened at all.
    phones.refuse = true;
    EXPECT_EQ(beginRead("doc"), failed(4));
    EXPECT_EQ(containerFiles(), (std::set<std::string>{first.fileName, second.fileName}));
}

} // namespace
} // namespace brimo
