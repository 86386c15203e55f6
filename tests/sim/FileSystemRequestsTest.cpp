// The phone app's file-system requests, answered by FramedPhoneApp from a temporary directory
// the way each framed connection of the simulator asks it.
#include "peers/phone-sim/ControlCommands.h"
#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/FramedPhoneApp.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "tests/sim/StorageTestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace brimo::test {
namespace {

namespace fs = std::filesystem;
using sim::FramedPhoneApp;
using sim::PhoneStorage;
using sim::StagedWrites;

// Answer statuses.
constexpr uint16_t ok = 0, unsupported = 1, notFound = 2, badRequest = 3, wrongKind = 4, failed = 7,
                   noStorage = 8, exists = 9;
// Request codes besides the file-system ones.
constexpr uint16_t lookupCode = 2, commitCode = 6, writeChunkCode = 11, truncateCode = 15;

uint16_t code(FileSystemRequest request) {
    return static_cast<uint16_t>(request);
}

struct statx statOf(const fs::path& path) {
    struct statx sx {};
    EXPECT_EQ(statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx), 0)
        << path;
    return sx;
}

class FileSystemRequestsTest : public ::testing::Test, public TempRoot {
protected:
    // The storage's own modes must not depend on whoever runs the tests.
    FileSystemRequestsTest()
        : previousUmask(::umask(077)) {}
    ~FileSystemRequestsTest() override { ::umask(previousUmask); }

    TunnelMessage ask(uint16_t requestCode, const Bytes& payload, StagedWrites& on) {
        return app.answer(requestCode, payload, on);
    }
    TunnelMessage ask(FileSystemRequest request, const Bytes& payload) {
        return ask(code(request), payload, writes);
    }

    std::optional<RelayItemSummary> lookUp(const std::string& identifier) {
        auto response =
            ask(lookupCode, encodeJson(RelayLookupRequest{identifier, std::nullopt}), writes);
        if (response.code != ok) return std::nullopt;
        return decodeRelayItemSummary(response.payload);
    }

    TunnelMessage list(const std::string& identifier, std::optional<std::string> after,
                       uint32_t limit) {
        return ask(FileSystemRequest::listDirectory,
                   encodeJson(RelayListDirectoryRequest{identifier, std::move(after), limit}));
    }

    // Every page of a listing, each asking after the last name of the one before, until a page
    // says there is no more.
    std::vector<RelayDirectoryPage> listAll(const std::string& identifier, uint32_t limit) {
        std::vector<RelayDirectoryPage> pages;
        std::optional<std::string> after;
        for (;;) {
            auto response = list(identifier, after, limit);
            auto page = decodeRelayDirectoryPage(response.payload);
            if (response.code != ok || !page) {
                ADD_FAILURE() << "status " << response.code << " after " << pages.size();
                return pages;
            }
            pages.push_back(*page);
            if (!page->more) return pages;
            if (page->items.empty() || pages.size() > 100'000) {
                ADD_FAILURE() << "the listing makes no progress";
                return pages;
            }
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

    TunnelMessage create(const std::string& parent, const std::string& name, bool isDirectory,
                         uint32_t mode) {
        return ask(FileSystemRequest::createItem,
                   encodeJson(RelayCreateItemRequest{parent, name, isDirectory, mode}));
    }

    TunnelMessage remove(const std::string& identifier, bool isDirectory) {
        return ask(FileSystemRequest::removeItem,
                   encodeJson(RelayRemoveItemRequest{identifier, isDirectory}));
    }

    TunnelMessage rename(const std::string& identifier, const std::string& newParent,
                         const std::string& newName, bool replaceExisting) {
        return ask(
            FileSystemRequest::renameItem,
            encodeJson(RelayRenameItemRequest{identifier, newParent, newName, replaceExisting}));
    }

    TunnelMessage setAttributes(const RelaySetAttributesRequest& request) {
        return ask(FileSystemRequest::setAttributes, encodeJson(request));
    }

    static std::optional<std::string> reasonOf(const TunnelMessage& response) {
        auto failure = decodeRelayFailure(response.payload);
        if (!failure) return std::nullopt;
        return failure->reason;
    }

    static std::optional<RelayItemSummary> summaryOf(const TunnelMessage& response) {
        if (response.code != ok) return std::nullopt;
        return decodeRelayItemSummary(response.payload);
    }

    // Begins a write of `content` on a connection and sends all of it, without committing.
    void beginWrite(const std::string& identifier, const Bytes& content, StagedWrites& on) {
        ASSERT_EQ(ask(truncateCode,
                      encodeJson(RelayTruncateWriteRequest{identifier, content.size(), {}}), on)
                      .code,
                  ok);
        ASSERT_EQ(ask(writeChunkCode, *encodeWriteChunkRequest(identifier, 0, content), on).code,
                  ok);
    }

    uint16_t writeMore(const std::string& identifier, StagedWrites& on) {
        return ask(writeChunkCode, *encodeWriteChunkRequest(identifier, 0, text("more")), on).code;
    }

    uint16_t commit(const std::string& identifier, StagedWrites& on) {
        return ask(commitCode, encodeJson(RelayCommitWriteRequest{identifier}), on).code;
    }

    mode_t previousUmask;
    sim::DeviceRegistry registry;
    FramedPhoneApp app{std::make_unique<PhoneStorage>(root.string()), registry.stats()};
    StagedWrites writes;
};

TEST_F(FileSystemRequestsTest, PagesThroughEveryNameOnceInByteOrder) {
    std::set<std::string> expected;
    for (int i = 0; i < 2490; ++i) {
        const std::string name = "file-" + std::to_string(i * 7919 % 2490);
        writeFile(root / name, {});
        expected.insert(name);
    }
    for (const char* name : {"Zebra", "apple", "ärger", "10", "9", ".dot", "a b", "~tilde"}) {
        writeFile(root / name, text(name));
        expected.insert(name);
    }
    fs::create_directory(root / "sub");
    fs::create_symlink("sub", root / "link");
    expected.insert({"sub", "link"});
    ASSERT_EQ(expected.size(), 2500u);
    // Neither a write in progress nor a name that no identifier can carry is listed.
    writeFile(root / ".brimo-staging-0123456789abcdef", {});
    writeFile(root / "\xff\xfe", {});

    const auto pages = listAll("", 64);
    ASSERT_EQ(pages.size(), 40u);
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_LE(pages[i].items.size(), 64u) << "page " << i;
        EXPECT_EQ(pages[i].more, i + 1 < pages.size()) << "page " << i;
    }
    const auto names = namesOf(pages);
    EXPECT_EQ(names, std::vector<std::string>(expected.begin(), expected.end()))
        << "every name once, in ascending byte order";
    EXPECT_EQ(registry.stats().answered[code(FileSystemRequest::listDirectory)], 40u)
        << "one exchange per page";

    // Each entry is the item's full summary, as a lookup gives it; a link is itself.
    for (const auto& page : pages)
        for (const auto& item : page.items) {
            EXPECT_EQ(item.identifier, item.filename);
            EXPECT_EQ(lookUp(item.identifier), item) << item.identifier;
        }
    const auto linkSummary = lookUp("link");
    ASSERT_TRUE(linkSummary);
    EXPECT_TRUE(S_ISLNK(linkSummary->mode));
    EXPECT_FALSE(linkSummary->isDirectory);
}

TEST_F(FileSystemRequestsTest, AnswersAtMostAThousandAndResumesAfterAnyName) {
    for (int i = 0; i < 1500; ++i)
        writeFile(root / ("n" + std::to_string(10000 + i)), {});
    fs::create_directory(root / "sub");
    writeFile(root / "sub/inner", {});

    auto big = decodeRelayDirectoryPage(list("", std::nullopt, 5000).payload);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->items.size(), 1000u);
    EXPECT_TRUE(big->more);

    // `after` need not exist: the page starts at the next name.
    auto resumed = decodeRelayDirectoryPage(list("", "n10499x", 3).payload);
    ASSERT_TRUE(resumed);
    ASSERT_EQ(resumed->items.size(), 3u);
    EXPECT_EQ(resumed->items[0].filename, "n10500");
    EXPECT_EQ(resumed->items[2].filename, "n10502");
    EXPECT_TRUE(resumed->more);
    auto last = decodeRelayDirectoryPage(list("", "n11499", 10).payload);
    ASSERT_TRUE(last);
    ASSERT_EQ(last->items.size(), 1u);
    EXPECT_EQ(last->items[0].filename, "sub");
    EXPECT_FALSE(last->more);

    auto inner = decodeRelayDirectoryPage(list("sub", std::nullopt, 10).payload);
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
    for (int i = 0; i < 1000; ++i) {
        std::string name = std::to_string(1000 + i);
        name.resize(255, 'z');
        writeFile(root / deep / name, {});
        expected.push_back(name);
    }

    const auto first = list(deep, std::nullopt, 1000);
    ASSERT_EQ(first.code, ok);
    EXPECT_LT(first.payload.size(), PhoneStorage::kMaxPageBytes);
    const auto page = decodeRelayDirectoryPage(first.payload);
    ASSERT_TRUE(page);
    ASSERT_FALSE(page->items.empty());
    EXPECT_LT(page->items.size(), 1000u);
    EXPECT_TRUE(page->more);
    // Filled as far as it goes: within two entries of the bound.
    EXPECT_GT(first.payload.size() + 2 * encodeJson(page->items.back()).size(),
              PhoneStorage::kMaxPageBytes);
    EXPECT_EQ(namesOf(listAll(deep, 1000)), expected);
}

TEST_F(FileSystemRequestsTest, RefusesToListWhatIsNoDirectory) {
    writeFile(root / "file", text("x"));
    fs::create_directory(root / "dir");
    fs::create_symlink("dir", root / "link");
    EXPECT_EQ(list("file", std::nullopt, 10).code, wrongKind);
    EXPECT_EQ(list("link", std::nullopt, 10).code, wrongKind) << "a link is not followed";
    EXPECT_EQ(list("missing", std::nullopt, 10).code, notFound);
    EXPECT_EQ(list("dir", std::nullopt, 0).code, badRequest);
    EXPECT_EQ(list("dir", "a/b", 10).code, badRequest);
    EXPECT_EQ(ask(FileSystemRequest::listDirectory, text("{\"identifier\":\"dir\"}")).code,
              badRequest);
    EXPECT_EQ(list("dir", std::nullopt, 10).code, ok);
}

TEST_F(FileSystemRequestsTest, CreatesItemsWithExactlyTheGivenPermissions) {
    fs::create_directory(root / "docs");
    const auto file = summaryOf(create("docs", "new.txt", false, 0100666));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->identifier, "docs/new.txt");
    EXPECT_EQ(file->filename, "new.txt");
    EXPECT_FALSE(file->isDirectory);
    EXPECT_EQ(file->mode, S_IFREG | 0666u) << "neither the umask nor the type bits apply";
    EXPECT_EQ(file->size, 0u);
    EXPECT_EQ(lookUp("docs/new.txt"), file);
    EXPECT_EQ(statOf(root / "docs/new.txt").stx_mode, S_IFREG | 0666u);

    const auto dir = summaryOf(create("", "shared", true, 01777));
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->identifier, "shared");
    EXPECT_TRUE(dir->isDirectory);
    EXPECT_EQ(dir->mode, S_IFDIR | 01777u);
    EXPECT_TRUE(fs::is_directory(root / "shared"));
    const auto locked = summaryOf(create("shared", "locked", true, 0));
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->mode, S_IFDIR | 0u);
    fs::permissions(root / "shared/locked", fs::perms::owner_all);

    EXPECT_EQ(create("docs", "new.txt", false, 0644).code, exists);
    EXPECT_EQ(create("docs", "new.txt", true, 0755).code, exists);
    EXPECT_EQ(create("", "docs", true, 0755).code, exists);
    EXPECT_EQ(statOf(root / "docs/new.txt").stx_mode, S_IFREG | 0666u) << "left as it was";
    EXPECT_EQ(create("absent", "x", false, 0644).code, notFound);
    EXPECT_EQ(create("docs/new.txt", "x", false, 0644).code, wrongKind);
    EXPECT_EQ(create("docs", ".brimo-staging-x", false, 0644).code, badRequest);
    EXPECT_FALSE(fs::exists(root / "docs/.brimo-staging-x"));
    for (const std::string& name : {std::string(".."), std::string("a/b"), std::string(256, 'n')})
        EXPECT_EQ(create("docs", name, false, 0644).code, badRequest) << name;
}

TEST_F(FileSystemRequestsTest, RemovesOnlyWhatIsOfTheStatedKind) {
    writeFile(root / "file", text("x"));
    fs::create_directory(root / "empty");
    fs::create_directories(root / "full/inner");
    fs::create_symlink("empty", root / "link");

    EXPECT_EQ(remove("file", true).code, wrongKind);
    EXPECT_EQ(remove("empty", false).code, wrongKind);
    EXPECT_EQ(remove("link", true).code, wrongKind) << "a link to a directory is no directory";
    EXPECT_TRUE(fs::exists(root / "file"));
    EXPECT_TRUE(fs::exists(root / "empty"));

    const auto full = remove("full", true);
    EXPECT_EQ(full.code, failed);
    EXPECT_EQ(reasonOf(full), "notEmpty");
    EXPECT_TRUE(fs::exists(root / "full/inner"));

    EXPECT_EQ(remove("link", false).code, ok);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "link")));
    EXPECT_TRUE(fs::is_directory(root / "empty")) << "the link goes, not its target";
    EXPECT_EQ(remove("file", false).code, ok);
    EXPECT_FALSE(fs::exists(root / "file"));
    EXPECT_EQ(remove("empty", true).code, ok);
    EXPECT_FALSE(fs::exists(root / "empty"));
    EXPECT_EQ(remove("full/inner", true).code, ok);
    EXPECT_EQ(remove("full", true).code, ok);

    EXPECT_EQ(remove("file", false).code, notFound);
    EXPECT_EQ(remove("", true).code, badRequest) << "the storage itself stays";
    EXPECT_TRUE(fs::is_directory(root));
}

TEST_F(FileSystemRequestsTest, RenamesWithAndWithoutReplacing) {
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    writeFile(root / "a/one", text("one"));
    writeFile(root / "a/two", text("two"));

    EXPECT_EQ(rename("a/one", "a", "two", false).code, exists);
    EXPECT_EQ(fileContent(root / "a/one"), text("one"));
    EXPECT_EQ(fileContent(root / "a/two"), text("two"));

    const auto replaced = summaryOf(rename("a/one", "a", "two", true));
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->identifier, "a/two");
    EXPECT_EQ(replaced->filename, "two");
    EXPECT_EQ(replaced->size, 3u);
    EXPECT_FALSE(fs::exists(root / "a/one"));
    EXPECT_EQ(fileContent(root / "a/two"), text("one"));

    const auto moved = summaryOf(rename("a/two", "b", "three", false));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->identifier, "b/three");
    EXPECT_EQ(moved->inode, replaced->inode) << "the same item, moved";
    EXPECT_EQ(lookUp("b/three"), moved);
    EXPECT_EQ(fileContent(root / "b/three"), text("one"));

    // Whole directories move with what they hold.
    const auto dir = summaryOf(rename("b", "a", "b moved", false));
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->isDirectory);
    EXPECT_EQ(dir->identifier, "a/b moved");
    EXPECT_EQ(fileContent(root / "a/b moved/three"), text("one"));
    EXPECT_TRUE(lookUp("a/b moved/three"));

    // Onto itself POSIX does nothing, and the item is still there to describe.
    EXPECT_EQ(rename("a/b moved/three", "a/b moved", "three", true).code, ok);
    EXPECT_EQ(rename("a/b moved/three", "a/b moved", "three", false).code, exists);
    EXPECT_EQ(fileContent(root / "a/b moved/three"), text("one"));
}

TEST_F(FileSystemRequestsTest, RefusesRenamesThatCannotApply) {
    fs::create_directories(root / "dir/sub");
    fs::create_directories(root / "full/x");
    fs::create_directory(root / "empty");
    writeFile(root / "file", text("f"));

    EXPECT_EQ(rename("dir", "dir", "inside", true).code, badRequest);
    EXPECT_EQ(rename("dir", "dir/sub", "deeper", true).code, badRequest);
    EXPECT_TRUE(fs::is_directory(root / "dir/sub"));

    const auto notEmpty = rename("dir", "", "full", true);
    EXPECT_EQ(notEmpty.code, failed);
    EXPECT_EQ(reasonOf(notEmpty), "notEmpty");
    EXPECT_EQ(rename("file", "", "empty", true).code, wrongKind);
    EXPECT_EQ(rename("empty", "", "file", true).code, wrongKind);
    EXPECT_EQ(fileContent(root / "file"), text("f"));
    EXPECT_TRUE(fs::is_directory(root / "empty"));

    EXPECT_EQ(rename("missing", "", "x", true).code, notFound);
    EXPECT_EQ(rename("file", "missing", "x", true).code, notFound);
    EXPECT_EQ(rename("file", "file", "x", true).code, wrongKind);
    EXPECT_EQ(rename("", "dir", "root", true).code, badRequest);
    EXPECT_EQ(rename("file", "", ".brimo-staging-1", true).code, badRequest);
    EXPECT_EQ(rename("file", "", "..", true).code, badRequest);

    const auto replacedEmpty = summaryOf(rename("dir", "", "empty", true));
    ASSERT_TRUE(replacedEmpty) << "a directory replaces an empty one";
    EXPECT_TRUE(fs::is_directory(root / "empty/sub"));
}

TEST_F(FileSystemRequestsTest, SetsOnlyThePresentAttributesOfTheItemItself) {
    writeFile(root / "f", text("content"));
    fs::permissions(root / "f", fs::perms::owner_read | fs::perms::owner_write);
    const auto before = statOf(root / "f");

    ASSERT_EQ(setAttributes({"f", 0104751, {}, {}}).code, ok);
    auto after = statOf(root / "f");
    EXPECT_EQ(after.stx_mode & 07777, 04751u) << "the permission bits, whatever else is sent";
    EXPECT_EQ(after.stx_mtime.tv_sec, before.stx_mtime.tv_sec);
    EXPECT_EQ(after.stx_mtime.tv_nsec, before.stx_mtime.tv_nsec);

    ASSERT_EQ(setAttributes({"f", {}, RelayTimespec{1000000000, 123456789}, {}}).code, ok);
    after = statOf(root / "f");
    EXPECT_EQ(after.stx_atime.tv_sec, 1000000000);
    EXPECT_EQ(after.stx_atime.tv_nsec, 123456789u);
    EXPECT_EQ(after.stx_mtime.tv_sec, before.stx_mtime.tv_sec) << "left alone";
    EXPECT_EQ(after.stx_mode & 07777, 04751u);

    ASSERT_EQ(
        setAttributes({"f", 0600, RelayTimespec{-86400, 0}, RelayTimespec{1, 999999999}}).code, ok);
    const auto summary = lookUp("f");
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->mode & 07777, 0600u);
    EXPECT_EQ(summary->accessTime, (RelayTimespec{-86400, 0}));
    EXPECT_EQ(summary->modifyTime, (RelayTimespec{1, 999999999}));

    fs::create_directory(root / "d");
    ASSERT_EQ(setAttributes({"d", 0711, {}, RelayTimespec{5, 0}}).code, ok);
    EXPECT_EQ(statOf(root / "d").stx_mode, S_IFDIR | 0711u);
    ASSERT_EQ(setAttributes({"", {}, {}, RelayTimespec{7, 0}}).code, ok) << "the root too";
    EXPECT_EQ(statOf(root).stx_mtime.tv_sec, 7);

    EXPECT_EQ(setAttributes({"f", {}, {}, {}}).code, ok);
    EXPECT_EQ(setAttributes({"missing", {}, {}, {}}).code, notFound);
    EXPECT_EQ(setAttributes({"missing", 0644, {}, {}}).code, notFound);
    EXPECT_FALSE(fs::exists(root / "missing"));
    EXPECT_EQ(ask(FileSystemRequest::setAttributes,
                  text(R"({"identifier":"f","modifyTime":{"tvSec":0,"tvNsec":1073741823}})"))
                  .code,
              badRequest)
        << "the kernel's marker for the current time is no time";
    EXPECT_EQ(lookUp("f")->modifyTime, (RelayTimespec{1, 999999999}));
}

TEST_F(FileSystemRequestsTest, NothingOutsideTheStorageIsReachable) {
    TempRoot outside("phone-outside");
    writeFile(outside.root / "victim", text("keep me"));
    fs::create_directory(outside.root / "victim-dir");
    fs::permissions(outside.root / "victim", fs::perms::owner_read | fs::perms::owner_write);
    const auto victimBefore = statOf(outside.root / "victim");
    fs::create_symlink(outside.root, root / "out");
    fs::create_symlink("/tmp", root / "tmp");
    fs::create_symlink("..", root / "up");
    fs::create_symlink(outside.root / "victim", root / "victim-link");
    writeFile(root / "mine", text("mine"));
    const std::string unique = outside.root.filename().string() + "-created";

    // The links themselves are no directories; paths through them lead nowhere.
    const std::vector<std::string> links = {"out", "tmp", "up"};
    const std::vector<std::string> through = {
        "out/victim-dir", "tmp/" + outside.root.filename().string(), "up/x", "..", "/tmp", "."};
    for (const bool isDirectory : {false, true}) {
        for (const std::string& parent : links)
            EXPECT_EQ(create(parent, unique, isDirectory, 0644).code, wrongKind) << parent;
        for (const std::string& parent : through)
            EXPECT_EQ(create(parent, unique, isDirectory, 0644).code, notFound) << parent;
    }
    EXPECT_FALSE(fs::exists(fs::path("/tmp") / unique));
    EXPECT_FALSE(fs::exists(outside.root / unique));
    EXPECT_FALSE(fs::exists(root.parent_path() / unique));

    for (const std::string listed : {"out/victim-dir", "tmp", "up", "up/x", ".."})
        EXPECT_NE(list(listed, std::nullopt, 10).code, ok) << listed;
    EXPECT_EQ(remove("out/victim", false).code, notFound);
    EXPECT_EQ(remove("out/victim-dir", true).code, notFound);
    EXPECT_EQ(rename("out/victim", "", "stolen", true).code, notFound);
    EXPECT_EQ(rename("mine", "out", "mine", true).code, wrongKind);
    EXPECT_EQ(rename("mine", "out/victim-dir", "mine", true).code, notFound);
    EXPECT_EQ(rename("mine", "up", "mine", true).code, wrongKind);
    EXPECT_EQ(setAttributes({"out/victim", 0777, {}, RelayTimespec{1, 0}}).code, notFound);

    // A link is an item of its own: its own times change, and it cannot be made writable for
    // all through its target.
    EXPECT_NE(setAttributes({"victim-link", 0777, {}, {}}).code, ok);
    ASSERT_EQ(setAttributes({"victim-link", {}, {}, RelayTimespec{3, 0}}).code, ok);
    EXPECT_EQ(statOf(root / "victim-link").stx_mtime.tv_sec, 3);
    const auto victimAfter = statOf(outside.root / "victim");
    EXPECT_EQ(victimAfter.stx_mode, victimBefore.stx_mode);
    EXPECT_EQ(victimAfter.stx_mtime.tv_sec, victimBefore.stx_mtime.tv_sec);
    EXPECT_EQ(victimAfter.stx_mtime.tv_nsec, victimBefore.stx_mtime.tv_nsec);

    // The links themselves go and move like any item, and their targets stay.
    EXPECT_TRUE(summaryOf(rename("out", "", "out renamed", false)));
    EXPECT_EQ(remove("out renamed", false).code, ok);
    EXPECT_EQ(remove("tmp", true).code, wrongKind);
    EXPECT_EQ(remove("tmp", false).code, ok);
    EXPECT_EQ(fileContent(outside.root / "victim"), text("keep me"));
    EXPECT_TRUE(fs::is_directory(outside.root / "victim-dir"));
    EXPECT_TRUE(fs::is_directory("/tmp"));
    EXPECT_EQ(fileContent(root / "mine"), text("mine"));
}

TEST_F(FileSystemRequestsTest, WritesInProgressStayHidden) {
    fs::create_directory(root / "d");
    writeFile(root / "d/f", text("old"));
    beginWrite("d/f", text("new"), writes);
    const auto staged = stagingFiles(root / "d");
    ASSERT_EQ(staged.size(), 1u);

    const auto page = decodeRelayDirectoryPage(list("d", std::nullopt, 10).payload);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->items.size(), 1u);
    EXPECT_EQ(page->items[0].filename, "f");
    const std::string stagingId = "d/" + staged[0];
    EXPECT_EQ(remove(stagingId, false).code, notFound);
    EXPECT_EQ(rename(stagingId, "", "caught", true).code, notFound);
    EXPECT_EQ(setAttributes({stagingId, 0777, {}, {}}).code, notFound);
    EXPECT_EQ(create("d", staged[0], false, 0644).code, badRequest);
    EXPECT_EQ(list(stagingId, std::nullopt, 10).code, notFound);
    EXPECT_EQ(stagingFiles(root / "d"), staged);

    ASSERT_EQ(commit("d/f", writes), ok);
    EXPECT_EQ(fileContent(root / "d/f"), text("new"));
}

TEST_F(FileSystemRequestsTest, RemovingOrRenamingAnItemEndsItsWritesOnEveryConnection) {
    StagedWrites other;
    fs::create_directory(root / "d");
    writeFile(root / "d/removed", text("old"));
    writeFile(root / "d/moved", text("old"));
    writeFile(root / "d/kept", text("old"));
    writeFile(root / "d/replaced", text("old"));
    writeFile(root / "d/replacement", text("replacement"));
    beginWrite("d/removed", text("new"), writes);
    beginWrite("d/moved", text("new"), writes);
    beginWrite("d/kept", text("new"), writes);
    beginWrite("d/replaced", text("new"), writes);
    beginWrite("d/fresh", text("new"), writes); // an item that does not exist yet
    ASSERT_EQ(stagingFiles(root / "d").size(), 5u);

    // Another connection removes and renames them.
    ASSERT_EQ(ask(code(FileSystemRequest::removeItem),
                  encodeJson(RelayRemoveItemRequest{"d/removed", false}), other)
                  .code,
              ok);
    ASSERT_EQ(ask(code(FileSystemRequest::renameItem),
                  encodeJson(RelayRenameItemRequest{"d/moved", "", "moved", false}), other)
                  .code,
              ok);
    ASSERT_EQ(ask(code(FileSystemRequest::renameItem),
                  encodeJson(RelayRenameItemRequest{"d/replacement", "d", "replaced", true}), other)
                  .code,
              ok);
    ASSERT_TRUE(summaryOf(create("d", "fresh", false, 0600)));
    ASSERT_EQ(remove("d/fresh", false).code, ok);
    EXPECT_EQ(stagingFiles(root / "d").size(), 1u) << "only the write of d/kept is left";

    for (const char* ended : {"d/removed", "d/moved", "d/replaced", "d/fresh"}) {
        EXPECT_EQ(writeMore(ended, writes), notFound) << ended;
        EXPECT_EQ(commit(ended, writes), notFound) << ended;
    }
    EXPECT_FALSE(fs::exists(root / "d/removed")) << "a removed item never comes back";
    EXPECT_FALSE(fs::exists(root / "d/fresh"));
    EXPECT_FALSE(fs::exists(root / "d/moved"));
    EXPECT_EQ(fileContent(root / "moved"), text("old"));
    EXPECT_EQ(fileContent(root / "d/replaced"), text("replacement"));
    ASSERT_EQ(commit("d/kept", writes), ok) << "writes of other items go on";
    EXPECT_EQ(fileContent(root / "d/kept"), text("new"));
    EXPECT_TRUE(stagingFiles(root / "d").empty());
    EXPECT_EQ(writes.size(), 0u);
}

TEST_F(FileSystemRequestsTest, RemovingOrRenamingADirectoryEndsTheWritesInIt) {
    fs::create_directories(root / "gone");
    fs::create_directories(root / "tree/deep/er");
    writeFile(root / "tree/deep/er/f", text("old"));
    beginWrite("gone/new", text("new"), writes);
    beginWrite("tree/deep/er/f", text("new"), writes);

    // Only a write in progress is in it, so the directory counts as empty.
    ASSERT_EQ(stagingFiles(root / "gone").size(), 1u);
    ASSERT_EQ(remove("gone", true).code, ok);
    EXPECT_FALSE(fs::exists(root / "gone"));
    EXPECT_EQ(commit("gone/new", writes), notFound);

    const auto moved = summaryOf(rename("tree", "", "forest", false));
    ASSERT_TRUE(moved);
    EXPECT_EQ(commit("tree/deep/er/f", writes), notFound);
    EXPECT_EQ(fileContent(root / "forest/deep/er/f"), text("old"));
    EXPECT_TRUE(stagingFiles(root / "forest/deep/er").empty());

    // A directory with anything else in it is not empty, writes or not.
    fs::create_directory(root / "busy");
    writeFile(root / "busy/real", {});
    beginWrite("busy/new", text("new"), writes);
    const auto refused = remove("busy", true);
    EXPECT_EQ(refused.code, failed);
    EXPECT_EQ(reasonOf(refused), "notEmpty");
    EXPECT_EQ(commit("busy/new", writes), ok);
    EXPECT_EQ(fileContent(root / "busy/new"), text("new"));
}

TEST_F(FileSystemRequestsTest, ReportsTheVolumeOfTheStorage) {
    const auto response = ask(FileSystemRequest::volumeStatistics, {});
    ASSERT_EQ(response.code, ok);
    const auto statistics = decodeRelayVolumeStatistics(response.payload);
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
    EXPECT_GT(statistics->freeBytes, 0u);
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
    ask(FileSystemRequest::volumeStatistics, {});
    app.answer(0, {}, writes);

    const std::map<uint16_t, uint64_t> expected = {{0, 1}, {2, 1},  {3, 2},
                                                   {4, 1}, {10, 1}, {77, 1}};
    EXPECT_EQ(registry.stats().answered, expected);
    EXPECT_EQ(commands.execute("stats").line,
              "OK listens=0 lists=0 connects=0 requests=7 code0=1 code2=1 code3=2 code4=1 "
              "code10=1 code77=1 open=0");
}

TEST(FileSystemRequestsWithoutStorage, AnswerNoStorageAndUnknownCodesUnsupported) {
    sim::SimStats stats;
    FramedPhoneApp app(nullptr, stats);
    StagedWrites writes;
    for (const auto request :
         {FileSystemRequest::listDirectory, FileSystemRequest::createItem,
          FileSystemRequest::removeItem, FileSystemRequest::renameItem,
          FileSystemRequest::setAttributes, FileSystemRequest::volumeStatistics})
        EXPECT_EQ(app.answer(code(request), text("{}"), writes).code, noStorage) << code(request);
    for (const uint16_t unknown : {1, 12, 13, 14, 16, 65535})
        EXPECT_EQ(app.answer(unknown, {}, writes).code, unsupported) << unknown;
}

} // namespace
} // namespace brimo::test
