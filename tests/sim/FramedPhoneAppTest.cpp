// The simulated phone app's framed side, driven the way the service drives it: a client-role
// tunnel engine over the real libusbmuxd, through the simulator process, serving a temporary
// directory as the phone's storage.
#include "service/tunnel/TunnelEngine.h"
#include "service/tunnel/UsbMuxTunnelTransport.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "tests/common/RunAsync.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/sim/StorageTestSupport.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <variant>

namespace brimo::test {
namespace {

namespace fs = std::filesystem;

enum Code : uint16_t {
    ping = 0,
    lookup = 2,
    commit = 6,
    readChunk = 9,
    writeChunk = 11,
    truncate = 15,
    unmountNoted = 20
};

Bytes randomBytes(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

class FramedPhoneAppTest : public ::testing::Test, public TempRoot, public SimFixtureBase {
protected:
    FramedPhoneAppTest()
        : SimFixtureBase({kPhoneA}, "", root.string()) {
        started = usbmux_mgr_start() != 0;
        bind();
    }
    ~FramedPhoneAppTest() override {
        unbind();
        usbmux_mgr_shutdown();
    }

    // A new client binding; the tunnel opens with its first request.
    void bind() {
        transport = std::make_shared<UsbMuxTunnelTransport>(tunnel_id{{}, kAppPort});
        engine.bind(transport, TunnelEndpointRole::client, "relay:33325", nullptr,
                    [this](uint16_t code, const Bytes& payload) {
                        notifications.push_back({code, payload});
                    });
        engine.startReading();
    }

    // Stops the engine and waits until its read loop has let go of the transport.
    void unbind() {
        runAsync(loop, engine.stop());
        EXPECT_TRUE(runUntil(loop, [&] { return transport.use_count() == 1; }));
        transport.reset();
    }

    TunnelMessage request(uint16_t code, Bytes payload = {}) {
        return runAsync(loop, engine.request(code, std::move(payload)));
    }

    // Starts a request in the background; its outcome lands in `outcomes[slot]`.
    void startRequest(size_t slot, uint16_t code, Bytes payload = {}) {
        outcomes.resize(std::max(outcomes.size(), slot + 1));
        asio::co_spawn(
            loop,
            [this, slot, code, payload = std::move(payload)]() mutable -> asio::awaitable<void> {
                try {
                    outcomes[slot] = co_await engine.request(code, std::move(payload));
                } catch (const TunnelEngineFailure& failure) {
                    outcomes[slot] = failure.error();
                }
            },
            asio::detached);
    }

    bool settled(size_t slot) const { return outcomes[slot].index() != 0; }

    std::optional<TunnelEngineError> failureOf(size_t slot) {
        EXPECT_TRUE(runUntil(loop, [&] { return settled(slot); }));
        auto* error = std::get_if<TunnelEngineError>(&outcomes[slot]);
        return error ? std::optional(*error) : std::nullopt;
    }

    std::string fault(const std::string& rest) {
        return sim.control(std::string("fault ") + kPhoneA + " " + rest);
    }

    std::optional<RelayItemSummary> lookUp(const std::string& identifier, uint16_t* status = {}) {
        auto response = request(lookup, encodeJson(RelayLookupRequest{identifier, {}}));
        if (status) *status = response.code;
        if (response.code != 0) return std::nullopt;
        return decodeRelayItemSummary(response.payload);
    }

    uint16_t lookupStatus(const std::string& identifier) {
        uint16_t status = 0;
        lookUp(identifier, &status);
        return status;
    }

    TunnelMessage readAt(const std::string& identifier, uint64_t offset) {
        return request(readChunk, *encodeReadChunkRequest(identifier, offset));
    }

    TunnelMessage writeAt(const std::string& identifier, uint64_t offset, const Bytes& data) {
        return request(writeChunk, *encodeWriteChunkRequest(identifier, offset, data));
    }

    TunnelMessage commitOf(const std::string& identifier) {
        return request(commit, encodeJson(RelayCommitWriteRequest{identifier}));
    }

    uint16_t truncateTo(const std::string& identifier, uint64_t size,
                        std::optional<Bytes> expectedVersion) {
        return request(truncate,
                       encodeJson(RelayTruncateWriteRequest{identifier, size, expectedVersion}))
            .code;
    }

    bool started = false;
    asio::io_context loop;
    TunnelEngine engine{loop.get_executor()};
    std::shared_ptr<UsbMuxTunnelTransport> transport;
    std::vector<TunnelMessage> notifications;
    std::vector<std::variant<std::monostate, TunnelMessage, TunnelEngineError>> outcomes;
};

TEST_F(FramedPhoneAppTest, AnswersPingTheUnmountNoticeAndRefusesUnknownCodes) {
    ASSERT_TRUE(started);
    auto pong = request(ping);
    EXPECT_EQ(pong.code, 0);
    EXPECT_TRUE(pong.payload.empty());

    EXPECT_EQ(sim.control("noted"), "OK 0");
    auto noted = request(unmountNoted);
    EXPECT_EQ(noted.code, 0);
    EXPECT_TRUE(noted.payload.empty());
    EXPECT_EQ(sim.control("noted"), "OK 1");

    EXPECT_EQ(request(77, text("{}")).code, 1);
    EXPECT_EQ(request(1).code, 1);
    EXPECT_EQ(request(ping).code, 0) << "an unknown code must leave the connection usable";
}

TEST_F(FramedPhoneAppTest, LooksUpItemsAndRefusesIdentifiersOutsideTheStorage) {
    ASSERT_TRUE(started);
    fs::create_directories(root / "docs");
    writeFile(root / "docs/note.txt", text("hello phone"));
    fs::create_symlink("/etc/passwd", root / "docs/escape");

    auto file = lookUp("docs/note.txt");
    ASSERT_TRUE(file);
    struct stat st {};
    ASSERT_EQ(::stat((root / "docs/note.txt").c_str(), &st), 0);
    EXPECT_EQ(file->identifier, "docs/note.txt");
    EXPECT_EQ(file->filename, "note.txt");
    EXPECT_FALSE(file->isDirectory);
    EXPECT_EQ(file->inode, st.st_ino);
    EXPECT_EQ(file->size, 11u);
    EXPECT_EQ(file->allocSize, uint64_t(st.st_blocks) * 512);
    EXPECT_EQ(file->mode, st.st_mode);
    EXPECT_EQ(file->uid, st.st_uid);
    EXPECT_EQ(file->gid, st.st_gid);
    EXPECT_EQ(file->linkCount, 1u);
    EXPECT_EQ(file->modifyTime, (RelayTimespec{st.st_mtim.tv_sec, int32_t(st.st_mtim.tv_nsec)}));
    EXPECT_EQ(file->changeTime, (RelayTimespec{st.st_ctim.tv_sec, int32_t(st.st_ctim.tv_nsec)}));
    EXPECT_FALSE(file->contentVersion.empty());
    EXPECT_EQ(lookUp("docs/note.txt"), file) << "an unchanged file keeps its summary";

    auto dir = lookUp("docs");
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->isDirectory);
    EXPECT_EQ(dir->filename, "docs");
    auto top = lookUp("");
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->isDirectory);
    EXPECT_EQ(top->filename, root.filename().string());
    auto link = lookUp("docs/escape");
    ASSERT_TRUE(link) << "a link is described as itself";
    EXPECT_TRUE(S_ISLNK(link->mode));

    for (const char* refused : {"missing", "docs/missing", "../x", "/etc", "/etc/passwd",
                                "docs/../docs/note.txt", "docs/note.txt/x"})
        EXPECT_EQ(lookupStatus(refused), 2) << refused;
    EXPECT_EQ(lookupStatus(std::string("docs\0x", 6)), 2);
    EXPECT_EQ(readAt("docs/escape", 0).code, 2) << "a link must not lead out of the storage";
    EXPECT_EQ(request(lookup, text("{\"name\":\"docs\"}")).code, 3);

    // The content version follows the data, the metadata version the attributes.
    writeFile(root / "docs/note.txt", text("hello again, phone"));
    auto changed = lookUp("docs/note.txt");
    ASSERT_TRUE(changed);
    EXPECT_NE(changed->contentVersion, file->contentVersion);
    fs::permissions(root / "docs/note.txt", fs::perms::owner_read);
    auto chmodded = lookUp("docs/note.txt");
    ASSERT_TRUE(chmodded);
    EXPECT_EQ(chmodded->contentVersion, changed->contentVersion);
    EXPECT_NE(chmodded->metadataVersion, changed->metadataVersion);
}

TEST_F(FramedPhoneAppTest, ReadsAFileInChunksAtTheOffsetsTheAnswersGive) {
    ASSERT_TRUE(started);
    const Bytes content = randomBytes(2 * chunkSize + 12345, 7);
    writeFile(root / "big.bin", content);

    Bytes reassembled;
    uint64_t offset = 0;
    int chunks = 0;
    for (bool eof = false; !eof; ++chunks) {
        ASSERT_LT(chunks, 4) << "the file is three chunks long";
        auto response = readAt("big.bin", offset);
        ASSERT_EQ(response.code, 0);
        auto chunk = decodeReadChunkResponse(response.payload);
        ASSERT_TRUE(chunk);
        EXPECT_LE(chunk->data.size(), chunkSize);
        EXPECT_EQ(chunk->nextOffset, offset + chunk->data.size());
        reassembled.insert(reassembled.end(), chunk->data.begin(), chunk->data.end());
        offset = chunk->nextOffset;
        eof = chunk->eof;
    }
    EXPECT_EQ(chunks, 3);
    EXPECT_TRUE(reassembled == content);

    auto past = decodeReadChunkResponse(readAt("big.bin", content.size() + 10).payload);
    ASSERT_TRUE(past);
    EXPECT_TRUE(past->data.empty());
    EXPECT_TRUE(past->eof);
    fs::create_directory(root / "dir");
    EXPECT_EQ(readAt("dir", 0).code, 4);
    EXPECT_EQ(readAt("nothing.bin", 0).code, 2);
    EXPECT_EQ(request(readChunk, text("\x05")).code, 3);
}

TEST_F(FramedPhoneAppTest, WritesAFileThroughTruncateChunksAndCommit) {
    ASSERT_TRUE(started);
    fs::create_directory(root / "up");
    const std::string id = "up/new.bin";
    const Bytes content = randomBytes(chunkSize + 54321, 11);

    EXPECT_EQ(truncateTo(id, content.size(), text("stale")), 6);
    EXPECT_FALSE(fs::exists(root / id)) << "a refused truncate creates nothing";
    ASSERT_EQ(truncateTo(id, content.size(), Bytes{}), 0);
    EXPECT_EQ(lookupStatus(id), 2) << "a new item appears at its commit";

    uint64_t offset = 0;
    std::optional<RelayWriteChunkResponse> last;
    while (offset < content.size()) {
        size_t n = std::min<size_t>(chunkSize, content.size() - offset);
        auto response =
            request(writeChunk, *encodeWriteChunkRequest(id, offset, {content.data() + offset, n}));
        ASSERT_EQ(response.code, 0);
        last = decodeWriteChunkResponse(response.payload);
        ASSERT_TRUE(last);
        EXPECT_EQ(last->nextOffset, offset + n);
        EXPECT_EQ(last->currentSize, content.size());
        ASSERT_TRUE(last->summary);
        EXPECT_EQ(last->summary->identifier, id);
        offset = last->nextOffset;
    }
    auto committed = request(commit, encodeJson(RelayCommitWriteRequest{id}));
    ASSERT_EQ(committed.code, 0);
    auto summary = decodeRelayItemSummary(committed.payload);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->filename, "new.bin");
    EXPECT_EQ(summary->size, content.size());
    EXPECT_EQ(lookUp(id), summary);
    EXPECT_TRUE(fileContent(root / id) == content);

    // Truncating an existing file takes its current version, and only that.
    EXPECT_EQ(truncateTo(id, 10, Bytes{}), 6);
    EXPECT_EQ(truncateTo(id, 10, summary->contentVersion), 0);
    ASSERT_EQ(commitOf(id).code, 0);
    EXPECT_EQ(fs::file_size(root / id), 10u);
    EXPECT_EQ(truncateTo(id, 5, summary->contentVersion), 6) << "the version moved on";
    EXPECT_EQ(truncateTo(id, 5, std::nullopt), 0);
    ASSERT_EQ(commitOf(id).code, 0);
    EXPECT_EQ(fs::file_size(root / id), 5u);
    EXPECT_TRUE(stagingFiles(root).empty());

    EXPECT_EQ(request(writeChunk, *encodeWriteChunkRequest("up/absent", 0, text("x"))).code, 2);
    EXPECT_EQ(truncateTo("up", 0, std::nullopt), 4);
    EXPECT_EQ(truncateTo("../outside", 0, std::nullopt), 2);
    EXPECT_FALSE(fs::exists(root.parent_path() / "outside"));
    EXPECT_EQ(request(commit, encodeJson(RelayCommitWriteRequest{"up/absent"})).code, 2);
    EXPECT_EQ(request(truncate, text("[]")).code, 3);
}

TEST_F(FramedPhoneAppTest, AWriteReplacesTheItemAtOnceAtItsCommit) {
    ASSERT_TRUE(started);
    fs::create_directory(root / "docs");
    const std::string id = "docs/note.txt";
    const Bytes old = text("the old content");
    const Bytes fresh = randomBytes(chunkSize + 100, 3);
    writeFile(root / id, old);
    fs::permissions(root / id, fs::perms::owner_read | fs::perms::owner_write);
    const auto before = lookUp(id);
    ASSERT_TRUE(before);

    ASSERT_EQ(truncateTo(id, fresh.size(), before->contentVersion), 0);
    ASSERT_EQ(writeAt(id, 0, Bytes(fresh.begin(), fresh.begin() + chunkSize)).code, 0);
    // Meanwhile the item is the old one, and the staging file beside it is nobody's item.
    EXPECT_EQ(lookUp(id), before);
    const auto staged = stagingFiles(root / "docs");
    ASSERT_EQ(staged.size(), 1u);
    const std::string stagingId = "docs/" + staged[0];
    EXPECT_EQ(lookupStatus(stagingId), 2);
    EXPECT_EQ(readAt(stagingId, 0).code, 2);
    EXPECT_EQ(truncateTo(stagingId, 0, std::nullopt), 2);
    EXPECT_EQ(writeAt(stagingId, 0, text("x")).code, 2);
    auto during = decodeReadChunkResponse(readAt(id, 0).payload);
    ASSERT_TRUE(during);
    EXPECT_TRUE(during->data == old);

    // A reader that opened the old item keeps reading all of it across the commit.
    std::ifstream reader(root / id, std::ios::binary);
    ASSERT_EQ(writeAt(id, chunkSize, Bytes(fresh.begin() + chunkSize, fresh.end())).code, 0);
    const auto committed = commitOf(id);
    ASSERT_EQ(committed.code, 0);
    const auto after = decodeRelayItemSummary(committed.payload);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->size, fresh.size());
    EXPECT_NE(after->contentVersion, before->contentVersion);
    EXPECT_EQ(after->mode & 0777, 0600u) << "the replacement keeps the item's permissions";
    EXPECT_EQ(lookUp(id), after);
    EXPECT_TRUE(fileContent(root / id) == fresh);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(reader), {}) == old);
    EXPECT_TRUE(stagingFiles(root / "docs").empty());
    EXPECT_EQ(commitOf(id).code, 2) << "a commit ends its write";

    // A second truncate abandons the first write of the same item.
    ASSERT_EQ(truncateTo(id, 3, std::nullopt), 0);
    ASSERT_EQ(writeAt(id, 0, text("abc")).code, 0);
    ASSERT_EQ(truncateTo(id, 2, std::nullopt), 0);
    EXPECT_EQ(stagingFiles(root / "docs").size(), 1u);
    ASSERT_EQ(writeAt(id, 0, text("xy")).code, 0);
    ASSERT_EQ(commitOf(id).code, 0);
    EXPECT_TRUE(fileContent(root / id) == text("xy"));

    // A link in the item's place is replaced, never written through.
    const fs::path outside = root.parent_path() / (root.filename().string() + "-outside");
    writeFile(outside, text("outside"));
    fs::create_symlink(outside, root / "docs/link");
    ASSERT_EQ(truncateTo("docs/link", 3, std::nullopt), 0);
    ASSERT_EQ(writeAt("docs/link", 0, text("new")).code, 0);
    ASSERT_EQ(commitOf("docs/link").code, 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root / "docs/link")));
    EXPECT_TRUE(fileContent(root / "docs/link") == text("new"));
    EXPECT_TRUE(fileContent(outside) == text("outside"));
    fs::remove(outside);
}

TEST_F(FramedPhoneAppTest, AWriteThatIsNeverCommittedLeavesTheItemAsItWas) {
    ASSERT_TRUE(started);
    const Bytes old = text("the old content");
    writeFile(root / "doc", old);
    auto startWrite = [&] {
        ASSERT_EQ(truncateTo("doc", 8, std::nullopt), 0);
        ASSERT_EQ(writeAt("doc", 0, text("new!")).code, 0);
        ASSERT_EQ(stagingFiles(root).size(), 1u);
    };
    auto abandoned = [&] {
        return waitUntil([&] { return stagingFiles(root).empty(); }) &&
               fileContent(root / "doc") == old;
    };

    // The host hangs up; the next connection cannot go on with the old one's write.
    startWrite();
    unbind();
    EXPECT_TRUE(abandoned());
    bind();
    EXPECT_EQ(writeAt("doc", 4, text("more")).code, 2);
    EXPECT_EQ(commitOf("doc").code, 2);
    EXPECT_TRUE(fileContent(root / "doc") == old);

    // The stream is cut after the truncate and a chunk.
    ASSERT_EQ(truncateTo("doc", 8, std::nullopt), 0);
    ASSERT_EQ(fault("cut 1"), "OK");
    startRequest(0, writeChunk, *encodeWriteChunkRequest("doc", 0, text("new!")));
    EXPECT_EQ(failureOf(0), TunnelEngineError::disconnected);
    EXPECT_TRUE(abandoned());
    unbind();
    ASSERT_EQ(fault("clear"), "OK");
    bind();

    // The phone is unplugged when the commit arrives.
    startWrite();
    ASSERT_EQ(fault("drop-after 6"), "OK");
    startRequest(1, commit, encodeJson(RelayCommitWriteRequest{"doc"}));
    EXPECT_EQ(failureOf(1), TunnelEngineError::disconnected);
    EXPECT_TRUE(abandoned());
}

TEST_F(FramedPhoneAppTest, FileSystemRequestsCrossTheTunnelAndEveryAnswerIsCounted) {
    ASSERT_TRUE(started);
    fs::create_directory(root / "d");
    ASSERT_EQ(request(ping).code, 0);
    const auto created = request(static_cast<uint16_t>(FileSystemRequest::createItem),
                                 encodeJson(RelayCreateItemRequest{"d", "f", false, 0640}));
    ASSERT_EQ(created.code, 0);
    const auto listed = request(static_cast<uint16_t>(FileSystemRequest::listDirectory),
                                encodeJson(RelayListDirectoryRequest{"d", std::nullopt, 10}));
    const auto page = decodeRelayDirectoryPage(listed.payload);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->items.size(), 1u);
    EXPECT_EQ(std::optional(page->items[0]), decodeRelayItemSummary(created.payload));
    const auto refused = request(static_cast<uint16_t>(FileSystemRequest::removeItem),
                                 encodeJson(RelayRemoveItemRequest{"d", true}));
    EXPECT_EQ(refused.code, 7);
    EXPECT_EQ(decodeRelayFailure(refused.payload), RelayFailure{"notEmpty"});

    // A status fault answers and is counted; a muted request is never answered.
    ASSERT_EQ(fault("status 2 9"), "OK");
    EXPECT_EQ(lookupStatus("d/f"), 9);
    ASSERT_EQ(fault("mute 9 on"), "OK");
    startRequest(0, readChunk, *encodeReadChunkRequest("d/f", 0));
    ASSERT_EQ(request(ping).code, 0);
    EXPECT_FALSE(settled(0));
    const std::string stats = sim.control("stats");
    EXPECT_TRUE(stats.ends_with(" requests=6 code0=2 code2=1 code3=1 code4=1 code5=1 open=1"))
        << stats;
}

TEST_F(FramedPhoneAppTest, PushesReachEveryOpenFramedConnection) {
    ASSERT_TRUE(started);
    const std::string push = std::string("push ") + kPhoneA + " ";
    EXPECT_EQ(sim.control(push + "mount mount"), "OK 0") << "no framed connection is open yet";
    ASSERT_EQ(request(ping).code, 0);

    EXPECT_EQ(sim.control(push + "mutation created docs/a b.txt"), "OK 1");
    EXPECT_EQ(sim.control(push + "mount unmount"), "OK 1");
    EXPECT_EQ(sim.control(push + "state 2 false"), "OK 1");
    EXPECT_EQ(sim.control(push + "progress 0f8fad5b-d9cb-469f-a165-70867728950e 10 100 10"),
              "OK 1");
    EXPECT_EQ(sim.control(push + "7 raw bytes"), "OK 1");
    ASSERT_TRUE(runUntil(loop, [&] { return notifications.size() == 5; }));
    using Pushed = std::pair<uint16_t, std::string>;
    std::vector<Pushed> pushed;
    for (const TunnelMessage& m : notifications)
        pushed.emplace_back(m.code, std::string(m.payload.begin(), m.payload.end()));
    EXPECT_EQ(pushed, (std::vector<Pushed>{
                          {3, R"({"kind":"created","relayID":"docs/a b.txt"})"},
                          {4, R"({"action":"unmount"})"},
                          {0, R"({"source":2,"connected":false})"},
                          {2, R"({"sessionID":"0F8FAD5B-D9CB-469F-A165-70867728950E",)"
                              R"("completedBytes":10,"totalBytes":100,"percent":10})"},
                          {7, "raw bytes"},
                      }));
    EXPECT_EQ(request(ping).code, 0) << "pushes leave the request path intact";

    for (const char* malformed : {"mutation moved x", "mutation created", "mount eject",
                                  "state 2 maybe", "progress id 1 2", "70000 {}", "bogus"})
        EXPECT_TRUE(sim.control(push + malformed).starts_with("ERR ")) << malformed;
    EXPECT_TRUE(sim.control(std::string("push ") + kPhoneB + " 3 {}").starts_with("ERR "));
}

TEST_F(FramedPhoneAppTest, LateAndStatusFaultsStillAnswer) {
    ASSERT_TRUE(started);
    writeFile(root / "f", text("abc"));
    ASSERT_EQ(fault("delay 2 200"), "OK");
    ASSERT_EQ(fault("delay 50"), "OK");
    auto late = lookUp("f");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->size, 3u);
    EXPECT_EQ(request(ping).code, 0);

    ASSERT_EQ(fault("status 2 9"), "OK");
    TunnelMessage refused = request(lookup, encodeJson(RelayLookupRequest{"f", {}}));
    EXPECT_EQ(refused.code, 9);
    EXPECT_TRUE(refused.payload.empty());
    EXPECT_EQ(request(ping).code, 0) << "a status fault is per code";
    ASSERT_EQ(fault("status 2 off"), "OK");
    EXPECT_TRUE(lookUp("f"));
    // A refusal may say why, as the storage's own refusals do.
    ASSERT_EQ(fault("status 2 7 permissionDenied"), "OK");
    refused = request(lookup, encodeJson(RelayLookupRequest{"f", {}}));
    EXPECT_EQ(refused.code, 7);
    EXPECT_EQ(decodeRelayFailure(refused.payload), RelayFailure{"permissionDenied"});
    ASSERT_EQ(fault("status 2 off"), "OK");

    // A full phone takes chunks up to its free space and refuses the one that reaches past it.
    ASSERT_EQ(fault("space 6"), "OK");
    ASSERT_EQ(truncateTo("f", 8, std::nullopt), 0);
    EXPECT_EQ(writeAt("f", 0, text("full")).code, 0);
    const auto full = writeAt("f", 4, text("!!!!"));
    EXPECT_EQ(full.code, 7);
    EXPECT_EQ(decodeRelayFailure(full.payload), RelayFailure{"noSpace"});
    ASSERT_EQ(fault("space off"), "OK");
    EXPECT_EQ(writeAt("f", 4, text("!!!!")).code, 0);

    for (const char* malformed :
         {"delay", "delay x", "delay 2 x", "status 2", "status x 1", "status 2 off why", "space",
          "space x", "mute 2", "mute 2 maybe", "drop-after x", "delay 1 2 3"})
        EXPECT_TRUE(fault(malformed).starts_with("ERR ")) << malformed;
}

TEST_F(FramedPhoneAppTest, MutedRequestsStayPendingUntilTheEngineStops) {
    ASSERT_TRUE(started);
    ASSERT_EQ(fault("mute 2 on"), "OK");
    startRequest(0, lookup, encodeJson(RelayLookupRequest{"", {}}));
    // Answered after the muted request was sent, so that one has been read and held back.
    EXPECT_EQ(request(ping).code, 0);
    EXPECT_FALSE(settled(0));
    EXPECT_EQ(engine.pendingCount(), 1u);
    unbind();
    EXPECT_EQ(failureOf(0), TunnelEngineError::disconnected);

    ASSERT_EQ(fault("mute 2 off"), "OK");
    bind();
    EXPECT_EQ(lookupStatus(""), 0) << "mute off answers again";
}

TEST_F(FramedPhoneAppTest, SilentPhoneAnswersNoFramedRequest) {
    ASSERT_TRUE(started);
    ASSERT_EQ(fault("silent on"), "OK");
    // The read-chunk request detaches the phone, which proves that the notice sent before it
    // was read and held back.
    ASSERT_EQ(fault("drop-after 9"), "OK");
    startRequest(0, unmountNoted);
    startRequest(1, readChunk, *encodeReadChunkRequest("", 0));
    EXPECT_EQ(failureOf(1), TunnelEngineError::disconnected);
    EXPECT_EQ(failureOf(0), TunnelEngineError::disconnected);
    EXPECT_EQ(sim.control("noted"), "OK 0");
}

TEST_F(FramedPhoneAppTest, CutStreamFailsEveryWaiter) {
    ASSERT_TRUE(started);
    ASSERT_EQ(fault("mute 0 on"), "OK");
    // The first 16-byte response fits; the lookup's answer is cut short.
    ASSERT_EQ(fault("cut 20"), "OK");
    ASSERT_EQ(request(unmountNoted).code, 0);
    startRequest(0, ping);
    startRequest(1, lookup, encodeJson(RelayLookupRequest{"", {}}));
    EXPECT_EQ(failureOf(1), TunnelEngineError::disconnected);
    EXPECT_EQ(failureOf(0), TunnelEngineError::disconnected);
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));
}

TEST_F(FramedPhoneAppTest, DropAfterDetachesThePhoneBeforeAnswering) {
    ASSERT_TRUE(started);
    writeFile(root / "f", text("abc"));
    ASSERT_EQ(fault("mute 2 on"), "OK");
    ASSERT_EQ(fault("drop-after 9"), "OK");
    startRequest(0, lookup, encodeJson(RelayLookupRequest{"f", {}}));
    ASSERT_EQ(request(ping).code, 0);
    startRequest(1, readChunk, *encodeReadChunkRequest("f", 0));
    EXPECT_EQ(failureOf(1), TunnelEngineError::disconnected);
    EXPECT_EQ(failureOf(0), TunnelEngineError::disconnected);
    EXPECT_EQ(sim.control("list"), "OK");
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));
}

} // namespace
} // namespace brimo::test
