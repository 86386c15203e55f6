#include "shared/BundleInfo.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnvironment.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

// The real Brimo executable, started from a bundle in a private ~/Applications: what a user's
// first and later launches leave behind.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using test::processEventsUntil;
using test::readText;

class AppLaunchTest : public testing::Test {
protected:
    AppLaunchTest()
        : dir(makeDir())
        , environment(
              {{"HOME", (dir / "home").c_str()},
               {"XDG_CONFIG_HOME", (dir / "home/.config").c_str()},
               {"XDG_DATA_HOME", (dir / "home/.local/share").c_str()},
               {"XDG_STATE_HOME", (dir / "home/.local/state").c_str()},
               {"XDG_RUNTIME_DIR", (dir / "runtime").c_str()},
               {"USBMUXD_SOCKET_ADDRESS", ("UNIX:" + (dir / "no-usbmuxd").string()).c_str()},
               {"QT_QPA_PLATFORM", "offscreen"}}) {
        fs::create_directories(dir / "runtime");
        fs::permissions(dir / "runtime", fs::perms::owner_all);
        const fs::path built = fs::path(BRIMO_APP_PATH).parent_path().parent_path().parent_path();
        place(built / "Contents/Info.plist", bundle / "Contents/Info.plist");
        place(BRIMO_APP_PATH, bundle / "Contents/MacOS/Brimo");
        const fs::path service = "Contents/XPCServices/BrimoService.xpc/Contents";
        place(built / service / "Info.plist", bundle / service / "Info.plist");
        place(BRIMO_SERVICE_PATH, bundle / service / "MacOS/BrimoService");
    }
    ~AppLaunchTest() override {
        // The service the app started lives on after it, found by this test's runtime folder.
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            if (readText(entry.path() / "environ")
                    .find("XDG_RUNTIME_DIR=" + (dir / "runtime").string()) != std::string::npos)
                ::kill(std::stoi(name), SIGKILL);
        }
        fs::remove_all(dir);
    }
    static fs::path makeDir() {
        char pattern[] = "/tmp/brimo-app-launch-XXXXXX";
        return ::mkdtemp(pattern);
    }
    // A second name where the file system allows it, a copy otherwise.
    static void place(const fs::path& from, const fs::path& to) {
        fs::create_directories(to.parent_path());
        std::error_code linked;
        fs::create_hard_link(from, to, linked);
        if (linked) fs::copy_file(from, to);
    }

    // Runs the app until it has registered with the service, then ends it; returns its log.
    std::string launchUntilRegistered() {
        const fs::path logPath = dir / ("app-" + std::to_string(++launches) + ".log");
        const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t app =
            brimo::test::spawnChild({(bundle / "Contents/MacOS/Brimo").string()}, -1, logFd);
        ::close(logFd);
        // Registered with the service, and the updater's start has ended.
        const bool registered = processEventsUntil([&] {
            const std::string log = readText(logPath);
            return log.find("registerClient desktopApp: true") != std::string::npos &&
                   log.find("Sparkle updater") != std::string::npos;
        });
        brimo::test::stopChild(app);
        EXPECT_TRUE(registered) << readText(logPath);
        return readText(logPath);
    }

    fs::path dir;
    brimo::test::ScopedEnvironment environment;
    fs::path bundle = dir / "home/Applications/Brimo.app";
    fs::path autostart = dir / "home/.config/autostart/Ozm.Tarvel.Mac.desktop";
    int launches = 0;
};

TEST_F(AppLaunchTest, TheFirstLaunchRegistersTheLoginItemOnceAndLaterLaunchesLeaveItAlone) {
    const std::string first = launchUntilRegistered();
    EXPECT_NE(first.find("login item registered; status=enabled"), std::string::npos);
    EXPECT_NE(
        readText(autostart).find("Exec=\"" + (bundle / "Contents/MacOS/Brimo").string() + "\""),
        std::string::npos);
    EXPECT_NE(readText(dir / "home/.config/Ozm.Tarvel/Brimo.conf")
                  .find("Tarvel.didRegisterLaunchAtLogin=true"),
              std::string::npos);
    // The updater starts beside the service's sequence: this build names no release service
    // and carries no update key, so it says so and stays idle.
    EXPECT_NE(first.find("CloudKit feed resolve failed, using default: "), std::string::npos);
    EXPECT_NE(first.find("Sparkle updater failed to start: "), std::string::npos);
    // Nothing was moved: the app already lives in the Applications folder.
    EXPECT_TRUE(fs::exists(bundle / "Contents/MacOS/Brimo"));

    // The user switched "Launch at Login" off; the app does not turn it on again by itself.
    fs::remove(autostart);
    const std::string second = launchUntilRegistered();
    EXPECT_EQ(second.find("login item registered"), std::string::npos);
    EXPECT_FALSE(fs::exists(autostart));
}

} // namespace
} // namespace brimo::app
