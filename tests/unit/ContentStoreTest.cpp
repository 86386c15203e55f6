#include "extension/ContentStore.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brimo::fs {
namespace {

namespace stdfs = std::filesystem;

// A container of its own under a temporary XDG_DATA_HOME.
class ContentStoreTest : public testing::Test {
protected:
    ContentStoreTest() {
        char dir[] = "/tmp/brimo-store-XXXXXX";
        home = ::mkdtemp(dir);
        previous = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
        container = home / "group.Ozm.Tarvel";
    }
    ~ContentStoreTest() override {
        if (previous.empty())
            ::unsetenv("XDG_DATA_HOME");
        else
            ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
        stdfs::remove_all(home);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : stdfs::directory_iterator(container))
            found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }

    static std::shared_ptr<ContentFile> withBytes(ContentStore& store, const std::string& bytes) {
        auto file = store.newWorkFile();
        EXPECT_EQ(::pwrite(file->fd(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        return file;
    }

    static std::string bytesOf(const ContentFile& file) {
        std::string bytes(size_t(file.size()), '\0');
        EXPECT_EQ(::pread(file.fd(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        return bytes;
    }

    stdfs::path home, container;
    std::string previous;
};

TEST_F(ContentStoreTest, FilesAreNamedWhileHeldAndPushNamesAreSecondNames) {
    ContentStore store(1 << 20);
    auto work = withBytes(store, "hello");
    EXPECT_TRUE(stdfs::exists(container / work->name()));
    const auto pushed = store.nameForPush(*work);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(stdfs::file_size(container / *pushed), 5u);
    EXPECT_EQ(stdfs::hard_link_count(container / *pushed), 2u) << "no copy of the bytes";

    const std::string name = work->name();
    store.keep("a", {1}, std::move(work));
    EXPECT_EQ(bytesOf(*store.cached("a", {1})), "hello");
    store.forget("a");
    EXPECT_FALSE(stdfs::exists(container / name)) << "the name goes with the last holder";
}

// The phone's bytes arrive range by range around what programs write.
TEST_F(ContentStoreTest, PhoneBytesFillOnlyWhatNoProgramWrote) {
    ContentStore store(1 << 20);
    auto file = store.newPhoneFile(10);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->missing({0, 20}), (std::vector<ByteRange>{{0, 10}}));
    ASSERT_EQ(file->write("WW", 2, 3), 2);
    EXPECT_EQ(file->missing({0, 10}), (std::vector<ByteRange>{{0, 3}, {5, 10}}));
    const std::string phone = "0123456789";
    ASSERT_EQ(file->fill(0, {reinterpret_cast<const uint8_t*>(phone.data()), 8}), 0);
    EXPECT_EQ(bytesOf(*file).substr(0, 8), "012WW567");
    EXPECT_FALSE(file->complete());

    // Cut short and grown again: what lies past the cut is zeros, never the phone's bytes.
    ASSERT_EQ(file->truncate(4), 0);
    ASSERT_EQ(file->truncate(10), 0);
    EXPECT_TRUE(file->complete());
    ASSERT_EQ(file->fill(0, {reinterpret_cast<const uint8_t*>(phone.data()), 10}), 0);
    EXPECT_EQ(bytesOf(*file), std::string("012W") + std::string(6, '\0'));
    EXPECT_EQ(file->presentBytes(), 10u);
}

TEST_F(ContentStoreTest, TheCacheAnswersOnlyForTheVersionItKeptAndStaysWithinItsBound) {
    ContentStore store(10);
    store.keep("a", {1}, withBytes(store, "aaaa"));
    store.keep("b", {1}, withBytes(store, "bbbb"));
    EXPECT_TRUE(store.cached("a", {1})) << "and a is now the most recently used";
    store.keep("c", {1}, withBytes(store, "cccc"));
    EXPECT_EQ(store.cachedBytes(), 8u);
    EXPECT_FALSE(store.cached("b", {1})) << "the least recently used went";
    EXPECT_TRUE(store.cached("a", {1}));
    EXPECT_FALSE(store.cached("a", {2})) << "another version of the item";
    EXPECT_FALSE(store.cached("a", {1})) << "an outdated copy is dropped";
    store.keep("big", {1}, withBytes(store, std::string(11, 'x')));
    EXPECT_FALSE(store.cached("big", {1})) << "larger than the whole cache";

    store.keep("dir/x", {1}, withBytes(store, "x"));
    store.keep("dirt", {1}, withBytes(store, "y"));
    store.forget("dir");
    EXPECT_FALSE(store.cached("dir/x", {1}));
    EXPECT_TRUE(store.cached("dirt", {1}));
}

TEST_F(ContentStoreTest, OneStorePerContainerAndItClearsWhatAnEarlierOneLeft) {
    {
        ContentStore store(1 << 20);
        EXPECT_THROW(ContentStore(1 << 20), std::runtime_error);
        auto work = withBytes(store, "left behind");
        std::ofstream(container / "transfer_ABC.bin") << "the service's";
        // A crash leaves the work file's name behind.
        const std::string name = work->name();
        stdfs::copy_file(container / name, container / (name + ".copy"));
    }
    ContentStore again(1 << 20);
    EXPECT_EQ(names(), (std::vector<std::string>{"brimofs.lock", "transfer_ABC.bin"}));
}

} // namespace
} // namespace brimo::fs
