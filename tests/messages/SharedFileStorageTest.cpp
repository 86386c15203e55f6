#include "shared/messages/SharedFileStorage.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace brimo {
namespace {

namespace fs = std::filesystem;

// Sets or unsets an environment variable for the lifetime of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value)
        : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }

    const char* name_;
    std::optional<std::string> old_;
};

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask)
        : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t old_;
};

mode_t permissions(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

SharedFileStorageError errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const SharedFileStorageException& exception) {
        return exception.error();
    }
    ADD_FAILURE() << "no SharedFileStorageException";
    return {};
}

class SharedFileStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brimo-storage-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        // A data directory that does not exist yet, so that its creation is exercised too.
        dataHome_.emplace("XDG_DATA_HOME", (root_ / "data").string());
        container_ = root_ / "data" / "group.Ozm.Tarvel";
    }
    void TearDown() override {
        dataHome_.reset();
        fs::remove_all(root_);
    }

    // Opens, sizes and closes a shared file; returns its path.
    fs::path create(const std::string& name, int64_t size) {
        const int fd = SharedFileStorage::createSharedFile(name, size);
        EXPECT_GE(fd, 0);
        ::close(fd);
        return container_ / name;
    }

    fs::path root_;
    fs::path container_;
    std::optional<ScopedEnv> dataHome_;
};

TEST_F(SharedFileStorageTest, ContainerIsCreatedPrivateWhateverTheUmask) {
    const ScopedUmask mask(0277);
    EXPECT_EQ(SharedFileStorage::containerURL(), container_);
    EXPECT_TRUE(fs::is_directory(container_));
    EXPECT_EQ(permissions(container_), 0700u);
    EXPECT_EQ(permissions(root_ / "data"), 0700u);
    EXPECT_EQ(SharedFileStorage::containerURL(), container_) << "an existing container is reused";
}

TEST_F(SharedFileStorageTest, ContainerFallsBackToHomeWhenDataHomeIsUnsetOrRelative) {
    const ScopedEnv home("HOME", root_.string());
    const fs::path expected = root_ / ".local" / "share" / "group.Ozm.Tarvel";
    {
        const ScopedEnv relative("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(SharedFileStorage::containerURL(), expected);
    }
    const ScopedEnv unset("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(SharedFileStorage::containerURL(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST_F(SharedFileStorageTest, ContainerIsUnavailableWithoutAUsableLocation) {
    {
        const ScopedEnv unsetData("XDG_DATA_HOME", std::nullopt);
        const ScopedEnv unsetHome("HOME", std::nullopt);
        EXPECT_EQ(errorOf([] { SharedFileStorage::containerURL(); }),
                  SharedFileStorageError::containerUnavailable);
    }
    writeFile(root_ / "file", "x");
    const ScopedEnv notADirectory("XDG_DATA_HOME", (root_ / "file").string());
    EXPECT_EQ(errorOf([] { SharedFileStorage::containerURL(); }),
              SharedFileStorageError::containerUnavailable);
    EXPECT_EQ(errorOf([] { SharedFileStorage::createSharedFile("a", 0); }),
              SharedFileStorageError::containerUnavailable);
}

TEST_F(SharedFileStorageTest, CreateSizesTheFileWithZeros) {
    const auto empty = create("empty.part", 0);
    EXPECT_TRUE(fs::is_regular_file(empty));
    EXPECT_EQ(fs::file_size(empty), 0u);

    EXPECT_EQ(contents(create("ten.part", 10)), std::string(10, '\0'));
}

TEST_F(SharedFileStorageTest, CreateReturnsAWritableDescriptorOnlyForANewName) {
    const int fd = SharedFileStorage::createSharedFile("f", 4);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "ab", 2, 2), 2);
    ::close(fd);
    EXPECT_EQ(contents(container_ / "f"), std::string("\0\0ab", 4));

    // A name already taken is refused rather than truncated, and a link there is not followed.
    writeFile(root_ / "outside", "outside");
    fs::create_symlink(root_ / "outside", container_ / "link");
    fs::create_symlink(root_ / "nowhere", container_ / "dangling");
    for (const char* taken : {"f", "link", "dangling"})
        EXPECT_EQ(errorOf([&] { SharedFileStorage::createSharedFile(taken, 1); }),
                  SharedFileStorageError::ioFailed)
            << taken;
    EXPECT_EQ(contents(container_ / "f"), std::string("\0\0ab", 4));
    EXPECT_EQ(contents(root_ / "outside"), "outside");
    EXPECT_FALSE(fs::exists(root_ / "nowhere"));
}

TEST_F(SharedFileStorageTest, OpenReadsOnlyARegularFileAndNeverBlocks) {
    fs::create_directories(container_);
    writeFile(container_ / "plain", "plain");
    const int fd = SharedFileStorage::openSharedFile("plain");
    ASSERT_GE(fd, 0);
    char buffer[8] = {};
    EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads stay blocking reads";
    ::close(fd);

    writeFile(root_ / "outside", "outside");
    fs::create_symlink(root_ / "outside", container_ / "link");
    fs::create_symlink("plain", container_ / "inner-link");
    fs::create_directory(container_ / "directory");
    // Without O_NONBLOCK the open of a FIFO nobody writes to would never return.
    ASSERT_EQ(::mkfifo((container_ / "fifo").c_str(), 0600), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (container_ / "socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    for (const char* name : {"link", "inner-link", "directory", "fifo", "socket"})
        EXPECT_EQ(errorOf([&] { SharedFileStorage::openSharedFile(name); }),
                  SharedFileStorageError::notAFile)
            << name;
    ::close(listener);
    EXPECT_EQ(errorOf([] { SharedFileStorage::openSharedFile("missing"); }),
              SharedFileStorageError::ioFailed);
    EXPECT_EQ(errorOf([] { SharedFileStorage::openSharedFile("../outside"); }),
              SharedFileStorageError::invalidName);
}

TEST_F(SharedFileStorageTest, CreatedFilesAreOwnerReadWriteOnlyWhateverTheUmask) {
    {
        const ScopedUmask open(0);
        EXPECT_EQ(permissions(create("open.part", 1)), 0600u);
    }
    const ScopedUmask closed(0777);
    EXPECT_EQ(permissions(create("closed.part", 1)), 0600u);
}

TEST_F(SharedFileStorageTest, CreateFailsWithIoFailedWhereNoFileCanBeOpened) {
    fs::create_directories(container_ / "directory");
    EXPECT_EQ(errorOf([] { SharedFileStorage::createSharedFile("directory", 0); }),
              SharedFileStorageError::ioFailed);
}

TEST_F(SharedFileStorageTest, MoveReplacesAnExistingDestination) {
    writeFile(create("transfer.part", 0), "new");
    writeFile(container_ / "transfer.bin", "old and longer");
    SharedFileStorage::moveSharedFile("transfer.part", "transfer.bin");
    EXPECT_FALSE(fs::exists(container_ / "transfer.part"));
    EXPECT_EQ(contents(container_ / "transfer.bin"), "new");
}

TEST_F(SharedFileStorageTest, MoveOfAMissingFileThrowsAndLeavesTheDestination) {
    writeFile(create("kept.bin", 0), "kept");
    try {
        SharedFileStorage::moveSharedFile("missing.part", "kept.bin");
        FAIL() << "moved a missing file";
    } catch (const SharedFileStorageException& exception) {
        EXPECT_EQ(exception.error(), SharedFileStorageError::ioFailed);
        EXPECT_NE(std::string(exception.what()).find("No such file"), std::string::npos)
            << exception.what();
    }
    EXPECT_EQ(contents(container_ / "kept.bin"), "kept");
}

TEST_F(SharedFileStorageTest, RemoveDeletesOnlyARegularFile) {
    const auto path = create("done.bin", 3);
    SharedFileStorage::removeSharedFile("done.bin");
    EXPECT_FALSE(fs::exists(path));

    writeFile(root_ / "outside", "outside");
    fs::create_symlink(root_ / "outside", container_ / "link");
    fs::create_directory(container_ / "directory");
    ASSERT_EQ(::mkfifo((container_ / "fifo").c_str(), 0600), 0);
    for (const char* name : {"link", "directory", "fifo"})
        SharedFileStorage::removeSharedFile(name);
    EXPECT_TRUE(fs::is_symlink(container_ / "link"));
    EXPECT_TRUE(fs::is_directory(container_ / "directory"));
    EXPECT_TRUE(fs::is_fifo(container_ / "fifo"));
    EXPECT_EQ(contents(root_ / "outside"), "outside");
}

TEST_F(SharedFileStorageTest, AContainerThatIsALinkIsNeverEntered) {
    const fs::path elsewhere = root_ / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(container_.parent_path());
    fs::create_symlink(elsewhere, container_);
    writeFile(elsewhere / "victim", "victim");
    writeFile(elsewhere / "source", "source");

    SharedFileStorage::removeSharedFile("victim");
    EXPECT_EQ(contents(elsewhere / "victim"), "victim");
    EXPECT_EQ(errorOf([] { SharedFileStorage::openSharedFile("source"); }),
              SharedFileStorageError::containerUnavailable);
    EXPECT_EQ(errorOf([] { SharedFileStorage::createSharedFile("new.part", 1); }),
              SharedFileStorageError::containerUnavailable);
    EXPECT_EQ(errorOf([] { SharedFileStorage::moveSharedFile("source", "victim"); }),
              SharedFileStorageError::containerUnavailable);
    EXPECT_FALSE(fs::exists(elsewhere / "new.part"));
    EXPECT_EQ(contents(elsewhere / "victim"), "victim");
}

TEST_F(SharedFileStorageTest, NamesThatAreNotPlainFileNamesAreRefused) {
    fs::create_directories(container_);
    writeFile(root_ / "data" / "outside", "outside");
    writeFile(container_ / "inside", "inside");

    const fs::path escaped = root_ / "escaped";
    const std::string refused[] = {
        "", ".", "..", "../outside", "sub/file", escaped.string(), std::string("in\0side", 7),
    };
    for (const auto& name : refused) {
        EXPECT_EQ(errorOf([&] { SharedFileStorage::createSharedFile(name, 1); }),
                  SharedFileStorageError::invalidName)
            << name;
        EXPECT_EQ(errorOf([&] { SharedFileStorage::moveSharedFile("inside", name); }),
                  SharedFileStorageError::invalidName)
            << name;
        EXPECT_EQ(errorOf([&] { SharedFileStorage::moveSharedFile(name, "inside"); }),
                  SharedFileStorageError::invalidName)
            << name;
        SharedFileStorage::removeSharedFile(name);
    }
    EXPECT_EQ(contents(root_ / "data" / "outside"), "outside");
    EXPECT_EQ(contents(container_ / "inside"), "inside");
    EXPECT_FALSE(fs::exists(escaped)) << "an absolute name must not reach outside the container";
}

} // namespace
} // namespace brimo
