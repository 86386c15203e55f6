#include "tests/drive/DriveFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::test {
namespace {

// A link of 10 MB/s, so that a copy of 40 MiB is still running when the phone goes away.
class SlowDriveTest : public DriveFixture {
protected:
    SlowDriveTest()
        : DriveFixture("10M") {}

    // Runs `command` in the background; the exit code lands in `status` when it ends.
    pid_t background(const std::string& command) { return spawnChild({"sh", "-c", command}); }

    // The process's state letter from /proc ('D': in uninterruptible sleep).
    static char stateOf(pid_t pid) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
    }

    // Waits for `pid` to end within `limit`, watching that it never sleeps uninterruptibly for
    // long; returns its exit code, or -1 if it did not end.
    int endsWithin(pid_t pid, std::chrono::milliseconds limit) {
        int uninterruptible = 0;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            uninterruptible = stateOf(pid) == 'D' ? uninterruptible + 1 : 0;
            EXPECT_LT(uninterruptible, 40) << "stuck in uninterruptible sleep for 2 s";
            std::this_thread::sleep_for(50ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }

    // Waits until the phone has served some of the file.
    void waitForTransferToStart() {
        ASSERT_TRUE(waitUntil([&] { return chunksServed() > 0; }, 20s));
    }
};

TEST_F(SlowDriveTest, UnpluggingThePhoneMidCopyFailsTheCopyAndUnmounts) {
    writeFile(onPhone("big"), pattern(40 * 1024 * 1024));
    const fs::path copy = fs::path(sim.tempDir()) / "copy";
    const pid_t cp = background("cp " + onDrive("big").string() + " " + copy.string());
    waitForTransferToStart();
    EXPECT_EQ(sim.control("detach " + std::string(kPhone)), "OK");
    EXPECT_GT(endsWithin(cp, 15s), 0) << "the copy fails";
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 15s)) << "the volume goes with the phone";
    EXPECT_NE(shell("stat " + onDrive("big").string()), 0);
}

TEST_F(SlowDriveTest, APhoneThatFallsSilentFailsWaitingProgramsAndIsUnmounted) {
    writeFile(onPhone("big"), pattern(40 * 1024 * 1024));
    const pid_t cat = background("cat " + onDrive("big").string() + " > /dev/null");
    waitForTransferToStart();
    EXPECT_EQ(sim.control("fault " + std::string(kPhone) + " silent on"), "OK");
    // Three missed keepalive pings of 3 s each force the unmount; the program then fails.
    EXPECT_GT(endsWithin(cat, 25s), 0);
    EXPECT_TRUE(waitUntil([&] { return !mounted(); }, 25s));
    EXPECT_TRUE(waitUntil([&] { return extensionsServing().empty(); }, 10s));
}

TEST_F(SlowDriveTest, AServiceThatDiesNeitherHangsNorMisleadsWaitingPrograms) {
    const std::string bytes = pattern(40 * 1024 * 1024);
    writeFile(onPhone("big"), bytes);
    const fs::path copy = fs::path(sim.tempDir()) / "copy";
    const pid_t cat = background("cat " + onDrive("big").string() + " > " + copy.string());
    waitForTransferToStart();
    ASSERT_EQ(::kill(servicePid, SIGKILL), 0);
    // A read may fail, or go on through the service started again: never with wrong bytes.
    const int status = endsWithin(cat, 20s);
    ASSERT_GE(status, 0);
    if (status == 0) {
        EXPECT_TRUE(readFile(copy) == bytes);
    }
    // The drive itself stays usable: the next request starts the service again.
    writeFile(onPhone("small"), "still here");
    EXPECT_TRUE(waitUntil([&] { return readFile(onDrive("small")) == "still here"; }, 20s));
}

} // namespace
} // namespace brimo::test
