#include "tests/drive/DriveFixture.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace brimo::test {
namespace {

using DriveSemanticsTest = DriveFixture;

// 2001-02-03 04:05:06 UTC
constexpr time_t kOldTime = 981173106;

time_t modifiedAt(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Writes `bytes` through one descriptor as a program saving a file does; 0 when open, write,
// fsync and close all succeeded, else the errno of the first that failed.
int save(const fs::path& path, const std::string& bytes, int flags = O_WRONLY | O_TRUNC) {
    const int fd = ::open(path.c_str(), flags | O_CREAT, 0644);
    if (fd < 0) return errno;
    int error = 0;
    if (::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        error = errno;
    else if (::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

TEST_F(DriveSemanticsTest, CopyingProgramsKeepModificationTimes) {
    const fs::path local = fs::path(sim.tempDir()) / "local";
    fs::create_directories(local / "album/inner");
    for (const char* name : {"photo.jpg", "album/a.jpg", "album/inner/b.jpg", "moved.txt"})
        writeFile(local / name, pattern(70000, 3));
    ASSERT_EQ(shell("touch -h -d @" + std::to_string(kOldTime) + " " + local.string() + "/* " +
                    local.string() + "/album/* " + local.string() + "/album/inner/*"),
              0);
    // A program that sets the times of an open file before closing it, and one (mv across
    // file systems) that copies and then removes the original.
    ASSERT_EQ(shell("cp -p " + (local / "photo.jpg").string() + " " + mountPoint().string()), 0);
    ASSERT_EQ(shell("cp -a " + (local / "album").string() + " " + mountPoint().string()), 0);
    ASSERT_EQ(shell("mv " + (local / "moved.txt").string() + " " + mountPoint().string()), 0);
    for (const char* name :
         {"photo.jpg", "album/a.jpg", "album/inner/b.jpg", "album/inner", "moved.txt"}) {
        EXPECT_EQ(modifiedAt(onPhone(name)), kOldTime) << name;
        EXPECT_EQ(modifiedAt(onDrive(name)), kOldTime) << name;
    }
    EXPECT_EQ(readFile(onPhone("album/inner/b.jpg")), pattern(70000, 3));
}

TEST_F(DriveSemanticsTest, AnItemKeepsItsInodeNumberAcrossSavesRenamesAndLookups) {
    ASSERT_EQ(save(onDrive("db"), "first"), 0);
    ASSERT_EQ(::mkdir(onDrive("folder").c_str(), 0755), 0);
    const ino_t file = inodeOf(onDrive("db"));
    const ino_t folder = inodeOf(onDrive("folder"));
    ASSERT_NE(file, 0u);

    // What SQLite does: compare the open file with what its path names, after each save.
    const int fd = ::open(onDrive("db").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (const char* content : {"second", "third!"}) {
        ASSERT_EQ(::pwrite(fd, content, 6, 0), 6);
        ASSERT_EQ(::fsync(fd), 0);
        struct stat open {};
        ASSERT_EQ(::fstat(fd, &open), 0);
        EXPECT_EQ(open.st_ino, file) << content;
        EXPECT_EQ(inodeOf(onDrive("db")), file) << content;
    }
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(readFile(onPhone("db")), "third!");

    ASSERT_EQ(::rename(onDrive("db").c_str(), onDrive("folder/db").c_str()), 0);
    ASSERT_EQ(::rename(onDrive("folder").c_str(), onDrive("renamed").c_str()), 0);
    // The kernel forgets every node it holds; the next lookups must find the same numbers.
    if (::geteuid() == 0) writeFile("/proc/sys/vm/drop_caches", "3");
    EXPECT_EQ(inodeOf(onDrive("renamed/db")), file);
    EXPECT_EQ(inodeOf(onDrive("renamed")), folder);

    // An item of its own gets a number of its own.
    ASSERT_EQ(save(onDrive("other"), "x"), 0);
    EXPECT_NE(inodeOf(onDrive("other")), file);
}

// What the drive lists of its kept saves, through the service's command-line tool.
std::string keptSaves() {
    return runChild({BRIMOCTL_PATH, "kept"}).output;
}

TEST_F(DriveSemanticsTest, ASaveThePhoneRefusesIsKeptAndSentOnceItAnswers) {
    writeFile(onPhone("doc"), "original!!");
    EXPECT_EQ(readFile(onDrive("doc")), "original!!");
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " status 6 7"), "OK");
    // A same-size overwrite: the kernel's pages of it must not pass for the phone's.
    EXPECT_EQ(save(onDrive("doc"), "changed!!!"), EIO);
    EXPECT_EQ(readFile(onPhone("doc")), "original!!");
    EXPECT_EQ(readFile(onDrive("doc")), "original!!") << "never unsaved content as the phone's";
    EXPECT_NE(keptSaves().find("doc"), std::string::npos) << keptSaves();
    EXPECT_NE(readFile(stateDir() / "Ozm.Tarvel/Brimofs.log").find("kept"), std::string::npos);

    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " clear"), "OK");
    EXPECT_TRUE(waitUntil([&] { return readFile(onPhone("doc")) == "changed!!!"; }, 20s));
    EXPECT_TRUE(waitUntil([&] { return keptSaves().empty(); }, 5s)) << keptSaves();
    EXPECT_TRUE(waitUntil([&] { return readFile(onDrive("doc")) == "changed!!!"; }, 5s));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(phoneRoot))
        if (!entry.path().filename().string().starts_with(".brimo-staging-"))
            names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"doc"}) << "sent over the item, no copy beside it";
}

TEST_F(DriveSemanticsTest, AKeptSaveOfAnItemChangedOnThePhoneBecomesAConflictCopy) {
    fs::create_directories(onPhone("notes"));
    writeFile(onPhone("notes/list.txt"), "milk");
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " status 6 7"), "OK");
    EXPECT_EQ(save(onDrive("notes/list.txt"), "milk, eggs"), EIO);
    writeFile(onPhone("notes/list.txt"), "bread"); // someone else's change meanwhile
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " clear"), "OK");

    auto conflictCopies = [&] {
        std::vector<fs::path> copies;
        for (const auto& entry : fs::directory_iterator(onPhone("notes")))
            if (entry.path().filename() != "list.txt" &&
                !entry.path().filename().string().starts_with(".brimo-staging-"))
                copies.push_back(entry.path());
        return copies;
    };
    ASSERT_TRUE(waitUntil([&] { return keptSaves().empty(); }, 20s)) << keptSaves();
    ASSERT_EQ(conflictCopies().size(), 1u);
    const fs::path copy = conflictCopies()[0];
    EXPECT_NE(copy.filename().string().find("conflict"), std::string::npos) << copy;
    EXPECT_TRUE(copy.filename().string().starts_with("list")) << copy;
    EXPECT_EQ(copy.extension(), ".txt");
    EXPECT_EQ(readFile(copy), "milk, eggs");
    EXPECT_EQ(readFile(onPhone("notes/list.txt")), "bread") << "the phone's change stays";
}

TEST_F(DriveSemanticsTest, AKeptSaveSurvivesARestartOfTheDrive) {
    writeFile(onPhone("report"), "draft");
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " status 6 7"), "OK");
    EXPECT_EQ(save(onDrive("report"), "final version"), EIO);
    for (pid_t pid : extensionsServing())
        ::kill(pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !mounted(); }, 10s));
    EXPECT_NE(keptSaves().find("report"), std::string::npos) << "waiting while unmounted";
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " clear"), "OK");
    mountDrive();
    EXPECT_TRUE(waitUntil([&] { return readFile(onPhone("report")) == "final version"; }, 20s));
    EXPECT_TRUE(waitUntil([&] { return keptSaves().empty(); }, 5s)) << keptSaves();
}

TEST_F(DriveSemanticsTest, BytesWrittenWhenTheDriveDiesGoBesideTheItemNotOverIt) {
    writeFile(onPhone("essay.txt"), "the whole essay");
    // A writer of its own: every copy of the descriptor closed (a fork of ours, say) would
    // flush it, and so save it.
    const pid_t writer = spawnChild({"python3", "-c",
                                     "import os, sys, time\n"
                                     "fd = os.open(sys.argv[1], os.O_WRONLY)\n"
                                     "os.pwrite(fd, b'HALF', 0)\n"
                                     "time.sleep(60)",
                                     onDrive("essay.txt").string()});
    ASSERT_TRUE(waitUntil([&] { return !keptSaves().empty(); }, 5s));
    for (pid_t pid : extensionsServing())
        ::kill(pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !mounted(); }, 10s));
    stopChild(writer);
    mountDrive();
    ASSERT_TRUE(waitUntil([&] { return keptSaves().empty(); }, 20s)) << keptSaves();
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(phoneRoot))
        if (entry.path().filename().string().find("conflict copy") != std::string::npos)
            copies.push_back(entry.path());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(readFile(copies[0]), "HALFwhole essay");
    EXPECT_EQ(readFile(onPhone("essay.txt")), "the whole essay") << "the item is left alone";
}

TEST_F(DriveSemanticsTest, OnlyRegularFilesAndFoldersLiveOnTheDrive) {
    writeFile(onPhone("target"), "bytes");
    fs::create_symlink("target", onPhone("link"));
    ASSERT_EQ(::mkfifo(onPhone("pipe").c_str(), 0644), 0);
    std::string listing;
    ASSERT_EQ(shell("ls -a " + mountPoint().string(), &listing), 0);
    EXPECT_EQ(listing, ".\n..\ntarget\n");
    struct stat st {};
    EXPECT_EQ(::lstat(onDrive("link").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::lstat(onDrive("pipe").c_str(), &st), -1);

    struct Attempt {
        const char* what;
        std::function<int()> make;
    };
    const std::vector<Attempt> refused = {
        {"symbolic link", [&] { return ::symlink("target", onDrive("l").c_str()); }},
        {"hard link", [&] { return ::link(onDrive("target").c_str(), onDrive("h").c_str()); }},
        {"fifo", [&] { return ::mkfifo(onDrive("f").c_str(), 0644); }},
        {"device", [&] { return ::mknod(onDrive("d").c_str(), S_IFCHR | 0644, makedev(1, 3)); }},
        {"socket", [&] { return ::mknod(onDrive("s").c_str(), S_IFSOCK | 0644, 0); }},
    };
    for (const auto& attempt : refused) {
        errno = 0;
        EXPECT_EQ(attempt.make(), -1) << attempt.what;
        EXPECT_EQ(errno, EPERM) << attempt.what << ": " << std::strerror(errno);
    }
    std::string error;
    shell("ln -s target " + onDrive("viaLn").string() + " 2>&1", &error);
    EXPECT_NE(error.find("Operation not permitted"), std::string::npos) << error;
    for (const char* name : {"l", "h", "f", "d", "s", "viaLn"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(onPhone(name)))) << name;
}

TEST_F(DriveSemanticsTest, TheDriveSaysWhyThePhoneRefused) {
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " space 1000000"), "OK");
    EXPECT_EQ(save(onDrive("big"), pattern(2000000)), ENOSPC);
    std::string error;
    writeFile(fs::path(sim.tempDir()) / "local", pattern(2000000));
    shell("cp " + sim.tempDir() + "/local " + onDrive("copied").string() + " 2>&1", &error);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;

    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " status 15 7 permissionDenied"), "OK");
    EXPECT_EQ(save(onDrive("locked"), "x"), EACCES);
    ASSERT_EQ(sim.control("fault " + std::string(kPhone) + " clear"), "OK");

    // Deeper than the longest path one call can name: the phone holds it, so the drive must.
    int folder = ::open(mountPoint().c_str(), O_RDONLY | O_DIRECTORY);
    const std::string component(200, 'd');
    for (int depth = 0; depth < 25 && folder >= 0; ++depth) {
        EXPECT_EQ(::mkdirat(folder, component.c_str(), 0755), 0) << depth << std::strerror(errno);
        const int inner = ::openat(folder, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(folder);
        folder = inner;
    }
    ASSERT_GE(folder, 0) << std::strerror(errno);
    const int deep = ::openat(folder, "file", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(deep, 0) << std::strerror(errno);
    EXPECT_EQ(::write(deep, "deep", 4), 4);
    EXPECT_EQ(::close(deep), 0) << std::strerror(errno);
    char back[8] = {};
    const int again = ::openat(folder, "file", O_RDONLY);
    EXPECT_EQ(::read(again, back, sizeof back), 4);
    EXPECT_EQ(std::string(back), "deep");
    ::close(again);
    ::close(folder);
}

// --- smaller semantics ------------------------------------------------------------------------

TEST_F(DriveSemanticsTest, ATruncateByPathReachesThePhoneWhileAReaderHoldsTheFile) {
    writeFile(onPhone("held"), "0123456789");
    const int reader = ::open(onDrive("held").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::truncate(onDrive("held").c_str(), 4), 0);
    EXPECT_EQ(readFile(onPhone("held")), "0123");
    char seen[16];
    EXPECT_EQ(::pread(reader, seen, sizeof seen, 0), 4) << "the reader sees the new size";
    EXPECT_EQ(::close(reader), 0);
    EXPECT_EQ(readFile(onPhone("held")), "0123");
}

TEST_F(DriveSemanticsTest, FsyncOnAnyDescriptorSendsWhatTheFileHolds) {
    writeFile(onPhone("shared"), "aaaa");
    const int writer = ::open(onDrive("shared").c_str(), O_WRONLY);
    const int reader = ::open(onDrive("shared").c_str(), O_RDONLY);
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::pwrite(writer, "bb", 2, 0), 2);
    EXPECT_EQ(::fsync(reader), 0);
    EXPECT_EQ(readFile(onPhone("shared")), "bbaa");
    EXPECT_EQ(::close(reader), 0);
    EXPECT_EQ(::close(writer), 0);
}

TEST_F(DriveSemanticsTest, AnOpenFileThatWasUnlinkedCanStillBeTruncatedAndChanged) {
    writeFile(onPhone("gone"), "123456");
    const int fd = ::open(onDrive("gone").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink(onDrive("gone").c_str()), 0);
    EXPECT_EQ(::ftruncate(fd, 2), 0) << std::strerror(errno);
    EXPECT_EQ(::fchmod(fd, 0600), 0) << std::strerror(errno);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 2);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    char bytes[8];
    EXPECT_EQ(::pread(fd, bytes, sizeof bytes, 0), 2);
    EXPECT_EQ(::close(fd), 0);
    EXPECT_FALSE(fs::exists(onPhone("gone"))) << "an unlinked file does not come back";
}

TEST_F(DriveSemanticsTest, ADirectoryHandleSeesNewEntriesAfterRewinding) {
    fs::create_directories(onPhone("box"));
    writeFile(onPhone("box/one"), "1");
    DIR* box = ::opendir(onDrive("box").c_str());
    ASSERT_NE(box, nullptr);
    auto names = [&] {
        std::set<std::string> seen;
        while (dirent* entry = ::readdir(box))
            seen.insert(entry->d_name);
        return seen;
    };
    EXPECT_EQ(names(), (std::set<std::string>{".", "..", "one"}));
    writeFile(onPhone("box/two"), "2");
    ::rewinddir(box);
    EXPECT_EQ(names(), (std::set<std::string>{".", "..", "one", "two"}));
    ::closedir(box);
}

// The kernel trusts attributes for a minute here, so its idea of a file's size can be old.
class LongCacheSemanticsTest : public DriveFixture {
protected:
    LongCacheSemanticsTest()
        : DriveFixture("", "cache_timeout=60") {}
};

TEST_F(LongCacheSemanticsTest, AppendsGoAfterWhatThePhoneHoldsNow) {
    writeFile(onPhone("log"), "abc");
    EXPECT_EQ(fs::file_size(onDrive("log")), 3u);
    writeFile(onPhone("log"), "abcdef"); // changed on the phone, unannounced
    EXPECT_EQ(save(onDrive("log"), "X", O_WRONLY | O_APPEND), 0);
    EXPECT_EQ(readFile(onPhone("log")), "abcdefX");
}

// A link slow enough that an open of a large file is still fetching when the program dies.
class SlowSemanticsTest : public DriveFixture {
protected:
    SlowSemanticsTest()
        : DriveFixture("20M") {}
};

TEST_F(SlowSemanticsTest, AProgramKilledWhileReadingLeavesNothingOpen) {
    writeFile(onPhone("movie"), pattern(24 * 1024 * 1024));
    const int null = ::open("/dev/null", O_WRONLY);
    const pid_t cat = spawnChild({"cat", onDrive("movie").string()}, null);
    ::close(null);
    ASSERT_TRUE(waitUntil([&] { return chunksServed() > 0; }, 20s));
    ::kill(cat, SIGKILL);
    EXPECT_EQ(waitChild(cat), 128 + SIGKILL);
    // The file closes once the program is gone: its fetching stops short of the whole file.
    uint64_t served = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            const uint64_t before = chunksServed();
            std::this_thread::sleep_for(500ms);
            served = chunksServed();
            return served == before;
        },
        20s));
    EXPECT_LT(served, 6u) << "of 6 chunks";
    EXPECT_EQ(readFile(onDrive("movie")).size(), 24u * 1024 * 1024);
}

} // namespace
} // namespace brimo::test
