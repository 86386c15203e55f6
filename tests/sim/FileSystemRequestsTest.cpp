// The phone app's file-system requests, answered by FramedPhoneApp from a temporary directory
// the way each framed connection of the simulator asks it.
#include "peers/phone-sim/ControlCommands.h"
#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/FramedPhoneApp.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "tests/sim/StorageTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace brimo::test {
namespace {

namespace fs = std::filesystem;
using sim::PhoneStorage;
using sim::StagedWrites;

constexpr uint16_t ok = 0, unsupported = 1, notFound = 2, badRequest = 3, wrongKind = 4, failed = 7,
                   noStorage = 8, exists = 9;

uint16_t code(FileSystemRequest request) {
    return static_cast<uint16_t>(request);
}

struct statx statOf(const fs::path& path) {
    struct statx sx {};
    EXPECT_EQ(statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx), 0);
    return sx;
}

std::optional<std::string> reasonOf(const TunnelMessage& response) {
    auto failure = decodeRelayFailure(response.payload);
    return failure ? std::optional(failure->reason) : std::nullopt;
}

std::optional<RelayItemSummary> summaryOf(const TunnelMessage& response) {
    return response.code == ok ? decodeRelayItemSummary(response.payload) : std::nullopt;
}

class FileSystemRequestsTest : public ::testing::Test, public TempRoot {
protected:
    // The modes of new items must not depend on whoever runs the tests.
    FileSystemRequestsTest()
        : previousUmask(::umask(077)) {}
    ~FileSystemRequestsTest() override { ::umask(previousUmask); }

    TunnelMessage ask(uint16_t requestCode, const Bytes& payload, StagedWrites& on) {
        return app.answer(requestCode, payload, on);
    }
    TunnelMessage list(const std::string& id, std::optional<std::string> after, uint32_t limit) {
        return ask(code(FileSystemRequest::listDirectory),
                   encodeJson(RelayListDirectoryRequest{id, std::move(after), limit}), writes);
    }
    TunnelMessage create(const std::string& parent, const std::string& name, bool isDirectory,
                         uint32_t mode) {
        return ask(code(FileSystemRequest::createItem),
                   encodeJson(RelayCreateItemRequest{parent, name, isDirectory, mode}), writes);
    }
    TunnelMessage remove(const std::string& id, bool isDirectory, StagedWrites* on = nullptr) {
        return ask(code(FileSystemRequest::removeItem),
                   encodeJson(RelayRemoveItemRequest{id, isDirectory}), on ? *on : writes);
    }
    TunnelMessage rename(const std::string& id, const std::string& parent, const std::string& name,
                         bool replace, StagedWrites* on = nullptr) {
        return ask(code(FileSystemRequest::renameItem),
                   encodeJson(RelayRenameItemRequest{id, parent, name, replace}),
                   on ? *on : writes);
    }
    TunnelMessage setAttributes(const RelaySetAttributesRequest& request) {
        return ask(code(FileSystemRequest::setAttributes), encodeJson(request), writes);
    }
    std::optional<RelayItemSummary> lookUp(const std::string& id) {
        return summaryOf(ask(2, encodeJson(RelayLookupRequest{id, std::nullopt}), writes));
    }

    // Every page of a listing, each asking after the last name of the one before.
    std::vector<RelayDirectoryPage> listAll(const std::string& id, uint32_t limit) {
        std::vector<RelayDirectoryPage> pages;
        std::optional<std::string> after;
        for (;;) {
            auto page = decodeRelayDirectoryPage(list(id, after, limit).payload);
            if (!page || pages.size() > 10'000) {
                ADD_FAILURE() << "page " << pages.size() << " failed or never ends";
                return pages;
            }
            pages.push_back(*page);
            if (!page->more || page->items.empty()) return pages;
            after = page->items.back().filename;
        }
    }
    static std::vector<std::string> namesOf(const std::vector<RelayDirectoryPage>& pages) {
        std::vector<std::string> names;
        for (const auto& page : pages)
            for (const auto& item : page.items)
                names.push_back(item.filename);
        return names;
    }

    // Begins a write of `content` and sends all of it, without committing.
    void beginWrite(const std::string& id, const Bytes& content) {
        ASSERT_EQ(
            ask(15, encodeJson(RelayTruncateWriteRequest{id, content.size(), {}}), writes).code,
            ok);
        ASSERT_EQ(ask(11, *encodeWriteChunkRequest(id, 0, content), writes).code, ok);
    }
    uint16_t writeMore(const std::string& id) {
        return ask(11, *encodeWriteChunkRequest(id, 0, text("more")), writes).code;
    }
    uint16_t commit(const std::string& id) {
        return ask(6, encodeJson(RelayCommitWriteRequest{id}), writes).code;
    }

    mode_t previousUmask;
    sim::DeviceRegistry registry;
    sim::FramedPhoneApp app{std::make_unique<PhoneStorage>(root.string()), registry.stats()};
    StagedWrites writes;
};

TEST_F(FileSystemRequestsTest, PagesThroughEveryNameOnceInByteOrder) {
    std::set<std::string> expected = {"Zebra", "apple", "ärger", "10", "9", ".dot", "a b"};
    for (int i = 0; i < 2491; ++i)
        expected.insert("file-" + std::to_string(i * 7919 % 2491));
    for (const std::string& name : expected)
        writeFile(root / name, text(name));
    fs::create_directory(root / "sub");
    writeFile(root / "sub/inner", {});
    fs::create_symlink("sub", root / "link");
    expected.insert({"sub", "link"});
    ASSERT_EQ(expected.size(), 2500u);
    // Neither a write in progress nor a name that no identifier can carry is listed.
    writeFile(root / ".brimo-staging-0123456789abcdef", {});
    writeFile(root / "\xff\xfe", {});

    const auto pages = listAll("", 64);
    ASSERT_EQ(pages.size(), 40u);
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_LE(pages[i].items.size(), 64u);
        EXPECT_EQ(pages[i].more, i + 1 < pages.size()) << "page " << i;
    }
    EXPECT_EQ(namesOf(pages), std::vector<std::string>(expected.begin(), expected.end()));
    EXPECT_EQ(registry.stats().answered[code(FileSystemRequest::listDirectory)], 40u)
        << "one exchange per page";
    // Each entry is the full summary a lookup gives, a link's of the link itself.
    for (const auto& page : pages)
        for (const auto& item : page.items)
            EXPECT_EQ(lookUp(item.filename), item) << item.filename;
    EXPECT_TRUE(S_ISLNK(lookUp("link")->mode));

    auto big = decodeRelayDirectoryPage(list("", std::nullopt, 5000).payload);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->items.size(), 1000u);
    EXPECT_TRUE(big->more);
    // `after` need not exist: the page starts at the next name.
    auto resumed = decodeRelayDirectoryPage(list("", "file-999~", 2).payload);
    ASSERT_TRUE(resumed);
    ASSERT_EQ(resumed->items.size(), 2u);
    EXPECT_EQ(resumed->items[0].filename, "link");
    auto inner = decodeRelayDirectoryPage(list("sub", "a", 10).payload);
    ASSERT_TRUE(inner);
    ASSERT_EQ(inner->items.size(), 1u);
    EXPECT_EQ(inner->items[0].identifier, "sub/inner");
    EXPECT_FALSE(inner->more);
}

TEST_F(FileSystemRequestsTest, KeepsAPageOfLongIdentifiersUnderFourMebibytes) {
    // Thirteen levels of 255-byte names make each entry's identifier about 3.5 KiB, so that a
    // thousand entries would not fit.
    std::string deep;
    for (char level = 'a'; level < 'a' + 13; ++level)
        deep = childIdentifier(deep, std::string(255, level));
    fs::create_directories(root / deep);
    std::vector<std::string> expected;
    for (int i = 1000; i < 2000; ++i) {
        expected.push_back(std::to_string(i));
        expected.back().resize(255, 'z');
        writeFile(root / deep / expected.back(), {});
    }

    const auto first = list(deep, std::nullopt, 1000);
    EXPECT_LT(first.payload.size(), PhoneStorage::kMaxPageBytes);
    const auto page = decodeRelayDirectoryPage(first.payload);
    ASSERT_TRUE(page && !page->items.empty());
    EXPECT_LT(page->items.size(), 1000u);
    EXPECT_TRUE(page->more);
    EXPECT_GT(first.payload.size() + 2 * encodeJson(page->items.back()).size(),
              PhoneStorage::kMaxPageBytes)
        << "filled to within an entry of the bound";
    EXPECT_EQ(namesOf(listAll(deep, 1000)), expected);
}

TEST_F(FileSystemRequestsTest, CreatesItemsWithExactlyTheGivenPermissions) {
    fs::create_directory(root / "docs");
    const auto file = summaryOf(create("docs", "new.txt", false, 0100666));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->identifier, "docs/new.txt");
    EXPECT_EQ(file->mode, S_IFREG | 0666u) << "neither the umask nor the type bits apply";
    EXPECT_EQ(lookUp("docs/new.txt"), file);
    const auto dir = summaryOf(create("", "shared", true, 01777));
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->identifier, "shared");
    EXPECT_EQ(statOf(root / "shared").stx_mode, S_IFDIR | 01777u);

    EXPECT_EQ(create("docs", "new.txt", false, 0644).code, exists);
    EXPECT_EQ(create("", "docs", true, 0755).code, exists);
    EXPECT_EQ(statOf(root / "docs/new.txt").stx_mode, S_IFREG | 0666u) << "left as it was";
    EXPECT_EQ(create("absent", "x", false, 0644).code, notFound);
    EXPECT_EQ(create("docs/new.txt", "x", false, 0644).code, wrongKind);
    for (const std::string name : {".brimo-staging-x", "..", "a/b"})
        EXPECT_EQ(create("docs", name, false, 0644).code, badRequest) << name;
    EXPECT_FALSE(fs::exists(root / "docs/.brimo-staging-x"));
}

TEST_F(FileSystemRequestsTest, RemovesOnlyWhatIsOfTheStatedKind) {
    writeFile(root / "file", text("x"));
    fs::create_directory(root / "empty");
    fs::create_directories(root / "full/inner");
    fs::create_symlink("empty", root / "link");

    EXPECT_EQ(remove("file", true).code, wrongKind);
    EXPECT_EQ(remove("empty", false).code, wrongKind);
    EXPECT_EQ(remove("link", true).code, wrongKind) << "a link to a directory is no directory";
    const auto full = remove("full", true);
    EXPECT_EQ(full.code, failed);
    EXPECT_EQ(reasonOf(full), "notEmpty");
    EXPECT_EQ(remove("", true).code, badRequest) << "the storage itself stays";
    EXPECT_TRUE(fs::exists(root / "file") && fs::exists(root / "full/inner"));

    EXPECT_EQ(remove("link", false).code, ok);
    EXPECT_TRUE(fs::is_directory(root / "empty")) << "the link goes, not its target";
    EXPECT_EQ(remove("file", false).code, ok);
    EXPECT_EQ(remove("empty", true).code, ok);
    EXPECT_EQ(remove("file", false).code, notFound);
    EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 1) << "only full/ is left";
}

TEST_F(FileSystemRequestsTest, RenamesWithAndWithoutReplacing) {
    fs::create_directories(root / "a");
    fs::create_directories(root / "b/sub");
    fs::create_directories(root / "full/x");
    writeFile(root / "a/one", text("one"));
    writeFile(root / "a/two", text("two"));

    EXPECT_EQ(rename("a/one", "a", "two", false).code, exists);
    EXPECT_EQ(fileContent(root / "a/two"), text("two"));
    const auto replaced = summaryOf(rename("a/one", "a", "two", true));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->identifier, "a/two");
    EXPECT_FALSE(fs::exists(root / "a/one"));
    EXPECT_EQ(fileContent(root / "a/two"), text("one"));

    const auto moved = summaryOf(rename("a/two", "b", "three", false));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->identifier, "b/three");
    EXPECT_EQ(moved->inode, replaced->inode) << "the same item, moved";
    EXPECT_EQ(lookUp("b/three"), moved);
    const auto dir = summaryOf(rename("b", "a", "b moved", false));
    ASSERT_TRUE(dir && dir->isDirectory);
    EXPECT_EQ(dir->identifier, "a/b moved");
    EXPECT_EQ(fileContent(root / "a/b moved/three"), text("one"));
    EXPECT_EQ(rename("a/b moved/three", "a/b moved", "three", true).code, ok) << "POSIX: no-op";
    EXPECT_EQ(fileContent(root / "a/b moved/three"), text("one"));

    EXPECT_EQ(rename("a", "a", "inside", true).code, badRequest);
    EXPECT_EQ(rename("a", "a/b moved/sub", "deeper", true).code, badRequest);
    EXPECT_EQ(reasonOf(rename("a", "", "full", true)), "notEmpty");
    EXPECT_EQ(rename("a/b moved/three", "", "full", true).code, wrongKind);
    EXPECT_EQ(rename("full", "a/b moved", "three", true).code, wrongKind);
    EXPECT_EQ(rename("missing", "", "x", true).code, notFound);
    EXPECT_EQ(rename("a", "missing", "x", true).code, notFound);
    EXPECT_EQ(rename("", "a", "root", true).code, badRequest);
    EXPECT_EQ(rename("a", "", ".brimo-staging-1", true).code, badRequest);
    EXPECT_TRUE(fs::is_directory(root / "a/b moved/sub"));
    EXPECT_TRUE(summaryOf(rename("a/b moved/sub", "full", "x", true)))
        << "a directory replaces an empty one";
}

TEST_F(FileSystemRequestsTest, SetsOnlyThePresentAttributesOfTheItemItself) {
    writeFile(root / "f", text("content"));
    const auto before = statOf(root / "f");
    ASSERT_EQ(setAttributes({"f", 0104751, {}, {}}).code, ok);
    EXPECT_EQ(statOf(root / "f").stx_mode & 07777, 04751u) << "only the permission bits";
    ASSERT_EQ(setAttributes({"f", {}, RelayTimespec{1000000000, 123456789}, {}}).code, ok);
    const auto after = lookUp("f");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->accessTime, (RelayTimespec{1000000000, 123456789}));
    EXPECT_EQ(after->modifyTime,
              (RelayTimespec{before.stx_mtime.tv_sec, int32_t(before.stx_mtime.tv_nsec)}));
    EXPECT_EQ(after->mode & 07777, 04751u);

    ASSERT_EQ(setAttributes({"f", 0600, RelayTimespec{-86400, 0}, RelayTimespec{1, 9}}).code, ok);
    EXPECT_EQ(lookUp("f")->modifyTime, (RelayTimespec{1, 9}));
    EXPECT_EQ(lookUp("f")->accessTime, (RelayTimespec{-86400, 0}));
    ASSERT_EQ(setAttributes({"", 0711, {}, RelayTimespec{7, 0}}).code, ok) << "the root too";
    EXPECT_EQ(statOf(root).stx_mode, S_IFDIR | 0711u);
    EXPECT_EQ(statOf(root).stx_mtime.tv_sec, 7);
    EXPECT_EQ(setAttributes({"missing", 0644, {}, {}}).code, notFound);
    EXPECT_EQ(ask(code(FileSystemRequest::setAttributes),
                  text(R"({"identifier":"f","modifyTime":{"tvSec":0,"tvNsec":1073741823}})"),
                  writes)
                  .code,
              badRequest)
        << "the kernel's marker for the current time is no time";
    EXPECT_EQ(lookUp("f")->modifyTime, (RelayTimespec{1, 9}));
}

TEST_F(FileSystemRequestsTest, NothingOutsideTheStorageIsReachable) {
    TempRoot outside("phone-outside");
    writeFile(outside.root / "victim", text("keep me"));
    fs::create_directory(outside.root / "victim-dir");
    const auto victim = statOf(outside.root / "victim");
    fs::create_symlink(outside.root, root / "out");
    fs::create_symlink("/tmp", root / "tmp");
    fs::create_symlink("..", root / "up");
    fs::create_symlink(outside.root / "victim", root / "victim-link");
    writeFile(root / "mine", text("mine"));
    const std::string unique = outside.root.filename().string() + "-created";

    // The links themselves are no directories; paths through them lead nowhere.
    for (const bool isDirectory : {false, true}) {
        for (const std::string parent : {"out", "tmp", "up"}) {
            EXPECT_EQ(create(parent, unique, isDirectory, 0644).code, wrongKind) << parent;
            EXPECT_EQ(list(parent, std::nullopt, 10).code, wrongKind) << parent;
        }
        for (const std::string parent : {"out/victim-dir", "up/x", "..", "/tmp", "."}) {
            EXPECT_EQ(create(parent, unique, isDirectory, 0644).code, notFound) << parent;
            EXPECT_EQ(list(parent, std::nullopt, 10).code, notFound) << parent;
        }
    }
    EXPECT_FALSE(fs::exists(fs::path("/tmp") / unique) || fs::exists(outside.root / unique) ||
                 fs::exists(root.parent_path() / unique));
    EXPECT_EQ(remove("out/victim", false).code, notFound);
    EXPECT_EQ(remove("out/victim-dir", true).code, notFound);
    EXPECT_EQ(rename("out/victim", "", "stolen", true).code, notFound);
    EXPECT_EQ(rename("mine", "out/victim-dir", "mine", true).code, notFound);
    EXPECT_EQ(rename("mine", "out", "mine", true).code, wrongKind);
    EXPECT_EQ(setAttributes({"out/victim", 0777, {}, RelayTimespec{1, 0}}).code, notFound);
    // A link's own times change; its mode cannot, and its target is never touched.
    EXPECT_EQ(setAttributes({"victim-link", 0777, {}, {}}).code, failed);
    ASSERT_EQ(setAttributes({"victim-link", {}, {}, RelayTimespec{3, 0}}).code, ok);
    EXPECT_EQ(statOf(root / "victim-link").stx_mtime.tv_sec, 3);
    EXPECT_EQ(statOf(outside.root / "victim").stx_mode, victim.stx_mode);
    EXPECT_EQ(statOf(outside.root / "victim").stx_mtime.tv_sec, victim.stx_mtime.tv_sec);

    // Links move and go like any item, and their targets stay.
    EXPECT_TRUE(summaryOf(rename("out", "", "out renamed", false)));
    EXPECT_EQ(remove("out renamed", false).code, ok);
    EXPECT_EQ(remove("tmp", false).code, ok);
    EXPECT_EQ(fileContent(outside.root / "victim"), text("keep me"));
    EXPECT_TRUE(fs::is_directory(outside.root / "victim-dir"));
    EXPECT_EQ(fileContent(root / "mine"), text("mine"));
}

TEST_F(FileSystemRequestsTest, WritesInProgressStayHidden) {
    fs::create_directory(root / "d");
    writeFile(root / "d/f", text("old"));
    beginWrite("d/f", text("new"));
    const auto staged = stagingFiles(root / "d");
    ASSERT_EQ(staged.size(), 1u);
    const std::string stagingId = "d/" + staged[0];

    EXPECT_EQ(namesOf(listAll("d", 10)), std::vector<std::string>{"f"});
    EXPECT_EQ(remove(stagingId, false).code, notFound);
    EXPECT_EQ(rename(stagingId, "", "caught", true).code, notFound);
    EXPECT_EQ(setAttributes({stagingId, 0777, {}, {}}).code, notFound);
    EXPECT_EQ(create("d", staged[0], false, 0644).code, badRequest);
    EXPECT_EQ(stagingFiles(root / "d"), staged);
    ASSERT_EQ(commit("d/f"), ok);
    EXPECT_EQ(fileContent(root / "d/f"), text("new"));
}

TEST_F(FileSystemRequestsTest, RemovingOrRenamingAnItemEndsItsWritesOnEveryConnection) {
    StagedWrites other;
    fs::create_directory(root / "d");
    for (const char* name : {"removed", "moved", "kept", "replaced"})
        writeFile(root / "d" / name, text("old"));
    writeFile(root / "d/replacement", text("replacement"));
    for (const char* id : {"d/removed", "d/moved", "d/kept", "d/replaced", "d/fresh"})
        beginWrite(id, text("new"));
    ASSERT_EQ(stagingFiles(root / "d").size(), 5u);

    ASSERT_EQ(remove("d/removed", false, &other).code, ok);
    ASSERT_EQ(rename("d/moved", "", "moved", false, &other).code, ok);
    ASSERT_EQ(rename("d/replacement", "d", "replaced", true, &other).code, ok);
    ASSERT_TRUE(summaryOf(create("d", "fresh", false, 0600))); // the write's item appears...
    ASSERT_EQ(remove("d/fresh", false, &other).code, ok);      // ...and goes
    EXPECT_EQ(stagingFiles(root / "d").size(), 1u) << "only the write of d/kept is left";

    for (const char* ended : {"d/removed", "d/moved", "d/replaced", "d/fresh"}) {
        EXPECT_EQ(writeMore(ended), notFound) << ended;
        EXPECT_EQ(commit(ended), notFound) << ended;
    }
    EXPECT_FALSE(fs::exists(root / "d/removed") || fs::exists(root / "d/fresh") ||
                 fs::exists(root / "d/moved"))
        << "nothing that went away comes back";
    EXPECT_EQ(fileContent(root / "moved"), text("old"));
    EXPECT_EQ(fileContent(root / "d/replaced"), text("replacement"));
    ASSERT_EQ(commit("d/kept"), ok) << "writes of other items go on";
    EXPECT_EQ(fileContent(root / "d/kept"), text("new"));
    EXPECT_TRUE(stagingFiles(root / "d").empty());
    EXPECT_EQ(writes.size(), 0u);
}

TEST_F(FileSystemRequestsTest, RemovingOrRenamingADirectoryEndsTheWritesInIt) {
    fs::create_directories(root / "gone");
    fs::create_directories(root / "tree/deep/er");
    fs::create_directory(root / "busy");
    writeFile(root / "tree/deep/er/f", text("old"));
    writeFile(root / "busy/real", {});
    beginWrite("gone/new", text("new"));
    beginWrite("tree/deep/er/f", text("new"));
    beginWrite("busy/new", text("new"));

    // A write in progress alone leaves a directory empty.
    ASSERT_EQ(remove("gone", true).code, ok);
    EXPECT_FALSE(fs::exists(root / "gone"));
    EXPECT_EQ(commit("gone/new"), notFound);
    ASSERT_TRUE(summaryOf(rename("tree", "", "forest", false)));
    EXPECT_EQ(commit("tree/deep/er/f"), notFound);
    EXPECT_EQ(fileContent(root / "forest/deep/er/f"), text("old"));
    EXPECT_TRUE(stagingFiles(root / "forest/deep/er").empty());

    EXPECT_EQ(reasonOf(remove("busy", true)), "notEmpty");
    EXPECT_EQ(commit("busy/new"), ok) << "a directory that stays keeps its writes";
    EXPECT_EQ(fileContent(root / "busy/new"), text("new"));
}

TEST_F(FileSystemRequestsTest, ReportsTheVolumeOfTheStorage) {
    const auto statistics = decodeRelayVolumeStatistics(
        ask(code(FileSystemRequest::volumeStatistics), {}, writes).payload);
    ASSERT_TRUE(statistics);
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(root.c_str(), &vfs), 0);
    EXPECT_EQ(statistics->blockSize, vfs.f_frsize);
    EXPECT_EQ(statistics->totalBytes, uint64_t(vfs.f_blocks) * vfs.f_frsize);
    EXPECT_EQ(statistics->totalFiles, vfs.f_files);
    EXPECT_EQ(statistics->maxNameLength, std::min<uint64_t>(vfs.f_namemax, 255));
    // The free counts move with whatever else uses the disk; only their order is fixed.
    EXPECT_LE(statistics->availableBytes, statistics->freeBytes);
    EXPECT_LE(statistics->freeBytes, statistics->totalBytes);
    EXPECT_LE(statistics->freeFiles, statistics->totalFiles);
}

TEST_F(FileSystemRequestsTest, CountsEveryAnswerByCode) {
    sim::ControlCommands commands(registry);
    EXPECT_EQ(commands.execute("stats").line, "OK listens=0 lists=0 connects=0 open=0");
    fs::create_directory(root / "d");
    list("d", std::nullopt, 10);
    list("d", std::nullopt, 0); // refused, but answered
    create("d", "f", false, 0644);
    lookUp("d/f");
    ask(77, text("{}"), writes);
    ask(code(FileSystemRequest::volumeStatistics), {}, writes);
    ask(0, {}, writes);

    const std::map<uint16_t, uint64_t> expected = {{0, 1}, {2, 1},  {3, 2},
                                                   {4, 1}, {10, 1}, {77, 1}};
    EXPECT_EQ(registry.stats().answered, expected);
    EXPECT_EQ(commands.execute("stats").line,
              "OK listens=0 lists=0 connects=0 requests=7 code0=1 code2=1 code3=2 code4=1 "
              "code10=1 code77=1 open=0");
}

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Written chunks go to disk behind the writer's back; that must neither change what a commit
// leaves nor keep a file open once its write is over and the storage is gone.
TEST(StagedWriteFlushing, CommitsWholeFilesAndKeepsNoDescriptorOpen) {
    TempRoot temp;
    const size_t before = openDescriptors();
    {
        PhoneStorage storage(temp.root.string());
        StagedWrites writes;
        const Bytes part(64 * 1024, 0x5A);
        for (const char* name : {"committed", "dropped"}) {
            ASSERT_TRUE(storage.truncate(name, 3 * part.size(), std::nullopt, writes).ok());
            for (uint64_t at = 0; at < 3 * part.size(); at += part.size())
                ASSERT_TRUE(std::holds_alternative<RelayWriteChunkResponse>(
                    storage.write(name, at, part, writes)));
        }
        const auto summary = storage.commit("committed", writes);
        ASSERT_TRUE(std::holds_alternative<RelayItemSummary>(summary));
        EXPECT_EQ(std::get<RelayItemSummary>(summary).size, 3 * part.size());
        writes.discardAll();
    }
    EXPECT_EQ(fileContent(temp.root / "committed"), Bytes(3 * 64 * 1024, 0x5A));
    EXPECT_TRUE(stagingFiles(temp.root).empty());
    EXPECT_EQ(openDescriptors(), before);
}

TEST(FileSystemRequestsWithoutStorage, AnswerNoStorageAndUnknownCodesUnsupported) {
    sim::SimStats stats;
    sim::FramedPhoneApp app(nullptr, stats);
    StagedWrites writes;
    for (const uint16_t served : {3, 4, 5, 7, 8, 10})
        EXPECT_EQ(app.answer(served, text("{}"), writes).code, noStorage) << served;
    for (const uint16_t unknown : {1, 12, 13, 14, 16, 65535})
        EXPECT_EQ(app.answer(unknown, {}, writes).code, unsupported) << unknown;
}

} // namespace
} // namespace brimo::test
