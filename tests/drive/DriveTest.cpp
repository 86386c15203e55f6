#include "tests/drive/DriveFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brimo::test {
namespace {

using DriveTest = DriveFixture;

std::string sizeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? std::to_string(st.st_size) : "missing";
}

TEST_F(DriveTest, ListsStatsAndReadsWhatThePhoneHolds) {
    fs::create_directories(onPhone("DCIM/100APPLE"));
    const std::vector<std::pair<std::string, size_t>> files = {
        {"empty", 0},
        {"one", 1},
        {"DCIM/100APPLE/under", 4 * 1024 * 1024 - 1},
        {"DCIM/100APPLE/over", 4 * 1024 * 1024 + 1}};
    for (const auto& [name, size] : files)
        writeFile(onPhone(name), pattern(size, unsigned(size)));

    std::string listing;
    ASSERT_EQ(shell("ls -l " + mountPoint().string() + "/DCIM/100APPLE", &listing), 0);
    EXPECT_NE(listing.find(std::to_string(4 * 1024 * 1024 - 1) + " "), std::string::npos)
        << listing;
    EXPECT_NE(listing.find(" over\n"), std::string::npos) << listing;

    for (const auto& [name, size] : files) {
        std::string reported;
        ASSERT_EQ(shell("stat -c %s '" + onDrive(name).string() + "'", &reported), 0) << name;
        EXPECT_EQ(reported, std::to_string(size) + "\n") << name;
        const fs::path copy = fs::path(sim.tempDir()) / "copy";
        ASSERT_EQ(shell("cp '" + onDrive(name).string() + "' " + copy.string()), 0) << name;
        EXPECT_EQ(readFile(copy), readFile(onPhone(name))) << name;
        EXPECT_EQ(shell("cmp '" + onDrive(name).string() + "' '" + onPhone(name).string() + "'"), 0)
            << name;
    }
    EXPECT_NE(shell("cat " + onDrive("nothing-here").string()), 0);
    EXPECT_NE(shell("ls " + onDrive("DCIM/../../..").string() + "/etc"), 0);
}

TEST_F(DriveTest, CopiesIntoTheDriveAndChangesItemsOnThePhone) {
    const fs::path local = fs::path(sim.tempDir()) / "local";
    for (size_t size : {size_t(0), size_t(1), size_t(4 * 1024 * 1024 - 1),
                        size_t(4 * 1024 * 1024 + 1), size_t(30 * 1024 * 1024)}) {
        const std::string bytes = pattern(size, unsigned(size) + 7);
        writeFile(local, bytes);
        const std::string name = "in-" + std::to_string(size);
        ASSERT_EQ(shell("cp " + local.string() + " " + onDrive(name).string()), 0) << size;
        EXPECT_EQ(readFile(onPhone(name)), bytes) << size;
        EXPECT_EQ(sizeOf(onDrive(name)), std::to_string(size));
    }

    ASSERT_EQ(shell("mkdir " + onDrive("folder").string()), 0);
    EXPECT_TRUE(fs::is_directory(onPhone("folder")));
    ASSERT_EQ(shell("mv " + onDrive("in-1").string() + " " + onDrive("folder/moved").string()), 0);
    EXPECT_FALSE(fs::exists(onPhone("in-1")));
    EXPECT_EQ(readFile(onPhone("folder/moved")), pattern(1, 8));
    EXPECT_NE(shell("rmdir " + onDrive("folder").string()), 0) << "not empty";
    ASSERT_EQ(shell("mv " + onDrive("folder").string() + " " + onDrive("renamed").string()), 0);
    EXPECT_EQ(readFile(onDrive("renamed/moved")), pattern(1, 8));
    ASSERT_EQ(shell("rm " + onDrive("renamed/moved").string()), 0);
    ASSERT_EQ(shell("rmdir " + onDrive("renamed").string()), 0);
    EXPECT_FALSE(fs::exists(onPhone("renamed")));

    ASSERT_EQ(shell("touch " + onDrive("new-empty").string()), 0);
    EXPECT_TRUE(fs::is_regular_file(onPhone("new-empty")));
    EXPECT_EQ(fs::file_size(onPhone("new-empty")), 0u);
    ASSERT_EQ(shell("touch -d '2001-02-03 04:05:06 UTC' " + onDrive("new-empty").string()), 0);
    EXPECT_EQ(fs::last_write_time(onPhone("new-empty")), fs::last_write_time(onDrive("new-empty")));
    std::string stamp;
    shell("date -u -r " + onPhone("new-empty").string() + " +%Y", &stamp);
    EXPECT_EQ(stamp, "2001\n");
    ASSERT_EQ(shell("chmod 600 " + onDrive("new-empty").string()), 0);
    EXPECT_EQ(fs::status(onPhone("new-empty")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    const std::string base = pattern(5000, 3);
    writeFile(onPhone("edited"), base);
    ASSERT_EQ(shell("truncate -s 1000 " + onDrive("edited").string()), 0);
    EXPECT_EQ(readFile(onPhone("edited")), base.substr(0, 1000));
    ASSERT_EQ(shell("printf tail >> " + onDrive("edited").string()), 0);
    EXPECT_EQ(readFile(onPhone("edited")), base.substr(0, 1000) + "tail");
    ASSERT_EQ(shell("truncate -s 0 " + onDrive("edited").string()), 0);
    EXPECT_EQ(fs::file_size(onPhone("edited")), 0u);
    ASSERT_EQ(shell("printf 'over' | dd of=" + onDrive("edited").string() +
                    " bs=1 seek=2 conv=notrunc 2>/dev/null"),
              0);
    EXPECT_EQ(readFile(onPhone("edited")), std::string("\0\0over", 6));
}

TEST_F(DriveTest, TwoProgramsSeeAndWriteTheSameFile) {
    writeFile(onPhone("shared"), "0123456789");
    const int writer = ::open(onDrive("shared").c_str(), O_WRONLY);
    const int reader = ::open(onDrive("shared").c_str(), O_RDONLY);
    const int second = ::open(onDrive("shared").c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    ASSERT_GE(second, 0);
    ASSERT_EQ(::pwrite(writer, "AB", 2, 0), 2);
    ASSERT_EQ(::pwrite(second, "YZ", 2, 8), 2);
    char seen[10];
    ASSERT_EQ(::pread(reader, seen, sizeof seen, 0), 10);
    EXPECT_EQ(std::string(seen, 10), "AB234567YZ") << "one file behind every handle";
    EXPECT_EQ(::close(writer), 0);
    EXPECT_EQ(readFile(onPhone("shared")), "AB234567YZ");
    ASSERT_EQ(::pwrite(second, "!", 1, 10), 1);
    EXPECT_EQ(::close(second), 0);
    EXPECT_EQ(::close(reader), 0);
    EXPECT_EQ(readFile(onPhone("shared")), "AB234567YZ!");
}

TEST_F(DriveTest, NamesWithSpacesQuotesAndNonAsciiLetters) {
    const std::string name = "a b 'quoted' \"double\" \xC3\xA9t\xC3\xA9 \xE6\x97\xA5";
    writeFile(onPhone(name), "from the phone");
    const fs::path local = fs::path(sim.tempDir()) / "odd";
    fs::copy_file(onDrive(name), local);
    EXPECT_EQ(readFile(local), "from the phone");
    fs::create_directory(onDrive(name + " dir"));
    fs::copy_file(local, onDrive(name + " dir/" + name));
    EXPECT_EQ(readFile(onPhone(name + " dir/" + name)), "from the phone");
    bool listed = false;
    for (const auto& entry : fs::directory_iterator(mountPoint()))
        listed = listed || entry.path().filename() == name;
    EXPECT_TRUE(listed);
}

// The kernel trusts names and attributes for a minute here: only the phone's notice can make
// it look again.
class LongCacheDriveTest : public DriveFixture {
protected:
    LongCacheDriveTest()
        : DriveFixture("", "cache_timeout=60") {}
};

TEST_F(LongCacheDriveTest, AChangePushedByThePhoneShowsAtTheNextStat) {
    writeFile(onPhone("note"), "short");
    EXPECT_EQ(sizeOf(onDrive("note")), "5");
    EXPECT_EQ(sizeOf(onDrive("fresh")), "missing");
    writeFile(onPhone("note"), "a longer note");
    writeFile(onPhone("fresh"), "new");
    EXPECT_EQ(sizeOf(onDrive("note")), "5") << "still trusted";
    const std::string push = "push " + std::string(kPhone) + " mutation created ";
    ASSERT_NE(sim.control(push + "note"), "OK 0");
    ASSERT_NE(sim.control(push + "fresh"), "OK 0");
    EXPECT_TRUE(waitUntil([&] { return sizeOf(onDrive("note")) == "13"; }, 5s));
    EXPECT_EQ(readFile(onDrive("note")), "a longer note");
    EXPECT_TRUE(waitUntil([&] { return sizeOf(onDrive("fresh")) == "3"; }, 5s));
}

TEST_F(DriveTest, TheDriveTakesItsRoleBackFromAnotherFileProvider) {
    writeFile(onPhone("note"), "kept working");
    // brimoctl registers as the file provider and leaves; the drive was the file provider.
    ASSERT_EQ(runChild({BRIMOCTL_PATH, "--role", "fileProvider", "register"}).exitCode, 0);
    EXPECT_EQ(readFile(onDrive("note")), "kept working");
}

TEST_F(DriveTest, TheDriveAnswersTheServicesMeasurements) {
    // brimoctl as the desktop app asks; the service measures against the drive's extension.
    const auto ask = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {BRIMOCTL_PATH, "--role", "desktopApp"});
        return runChild(words);
    };
    const auto ping = ask({"ping", "fileProvider"});
    EXPECT_EQ(ping.exitCode, 0);
    EXPECT_NE(ping.output.find("ping fileProvider: reached"), std::string::npos) << ping.output;
    for (auto words :
         std::vector<std::vector<std::string>>{{"extping", "20"},
                                               {"throughput", "to-ext", "1048576", "3"},
                                               {"throughput", "from-ext", "1048576", "3"}}) {
        const auto measured = ask(words);
        EXPECT_EQ(measured.exitCode, 0) << words[0];
        EXPECT_EQ(measured.output.find("unavailable"), std::string::npos) << measured.output;
    }
}

TEST_F(DriveTest, ACrashedExtensionLeavesNoDeadMountBehind) {
    std::vector<pid_t> extensions;
    ASSERT_TRUE(waitUntil([&] { return (extensions = extensionsServing()).size() == 1; }))
        << extensions.size() << " processes";
    ::kill(extensions[0], SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return !somethingAt(mountPoint()); }, 10s))
        << "neither a dead mount nor an empty folder";
}

TEST_F(DriveTest, EjectUnmountsTheVolume) {
    const auto reply = runChild(dbusSend("Shutdown"));
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return extensionsServing().empty(); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return sim.control("noted") != "OK 0"; }, 10s))
        << "the phone hears that the volume went away";
    EXPECT_TRUE(waitUntil([&] { return !somethingAt(mountPoint()); }, 10s))
        << "the home keeps no empty folder";
}

// File managers list the drive (through GIO) by its folder's name, and their eject unmounts it
// as the app's does: the phone is told, and the home keeps no empty folder.
TEST_F(DriveTest, TheDesktopListsTheDriveAndEjectsIt) {
    const auto listed = runChild({"gio", "mount", "-l"});
    EXPECT_NE(listed.output.find("Brimo -> file://" + mountPoint().string() + "\n"),
              std::string::npos)
        << listed.output;
    const auto ejected = runChild({"gio", "mount", "-u", mountPoint().string()});
    EXPECT_EQ(ejected.exitCode, 0) << ejected.output;
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return sim.control("noted") != "OK 0"; }, 10s))
        << "the phone hears that the volume went away";
    EXPECT_TRUE(waitUntil([&] { return !somethingAt(mountPoint()); }, 10s))
        << "the home keeps no empty folder";
}

} // namespace
} // namespace brimo::test
