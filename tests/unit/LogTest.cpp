#include "shared/Log.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brimo::log {
namespace {

TEST(Log, StderrLineCarriesLevelSubsystemCategoryAndFormattedMessage) {
    auto previous = sink();
    setSink(std::make_shared<StderrSink>());
    testing::internal::CaptureStderr();
    usbMuxNativeLog.error("[UsbTunnelManager] sendAll failed: invalid fd total=%u", 42u);
    xpcLog.info("usb device event type=%d udid=%s", 1, "A-B");
    const std::string text = testing::internal::GetCapturedStderr();
    setSink(previous);
    EXPECT_EQ(text, "error [Ozm.Tarvel:UsbMuxNative] [UsbTunnelManager] sendAll failed: invalid "
                    "fd total=42\n"
                    "info [Ozm.Tarvel:XPC] usb device event type=1 udid=A-B\n");
}

TEST(Log, MemorySinkKeepsRecordsAndScopedSinkRestoresThePreviousOne) {
    auto before = sink();
    {
        ScopedMemorySink memory;
        appLog.notice("%s", std::string(300, 'x').c_str());
        appLog.fault("plain");
        const auto records = memory->records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].message.size(), 300u);
        EXPECT_EQ(records[1].level, Level::fault);
        EXPECT_EQ(records[1].category, "App");
        EXPECT_TRUE(memory->contains("plain"));
        EXPECT_FALSE(memory->contains("plai"));
    }
    EXPECT_EQ(sink(), before);
}

// A thread that outlives main (a tunnel's receive thread) may log while exit handlers run.
TEST(LogDeathTest, LoggingWhileTheProcessExitsIsSafe) {
    EXPECT_EXIT(
        {
            setSink(std::make_shared<MemorySink>());
            std::atomic<bool> logging{false};
            std::thread([&logging] {
                for (;;) {
                    xpcLog.error("still receiving");
                    logging = true;
                }
            }).detach();
            while (!logging)
                std::this_thread::yield();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// A process whose stderr is the null device (a service started on demand) still logs: to the
// journal where journald listens, else to its file in the user's state folder.
TEST(LogDeathTest, WithStderrOnTheNullDeviceLinesGoToTheStateFolder) {
    if (::access("/run/systemd/journal/socket", W_OK) == 0)
        GTEST_SKIP() << "journald runs here: the lines go to the journal";
    char dir[] = "/tmp/brimo-state-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::filesystem::path file = std::filesystem::path(dir) / "Ozm.Tarvel" /
                                       (std::string(program_invocation_short_name) + ".log");
    EXPECT_EXIT(
        {
            ::unsetenv("JOURNAL_STREAM");
            ::setenv("XDG_STATE_HOME", dir, 1);
            std::freopen("/dev/null", "w", stderr);
            setSink(nullptr); // choose again, as a new process would
            xpcLog.info("bootstrapping UsbMuxService");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_EQ(text.str(), "info [Ozm.Tarvel:XPC] bootstrapping UsbMuxService\n");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace brimo::log
