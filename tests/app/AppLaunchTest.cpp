#include "app/TarvelApp.h"
#include "app/TarvelMenuBar.h"
#include "shared/BundleInfo.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnvironment.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

// The real Brimo executable, started from a bundle in a private ~/Applications: what a user's
// first and later launches leave behind.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using test::processEventsUntil;
using test::readText;

fs::path makeDir() {
    char pattern[] = "/tmp/brimo-app-launch-XXXXXX";
    return ::mkdtemp(pattern);
}

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
        brimo::test::killProcessesWith({}, "XDG_RUNTIME_DIR=" + (dir / "runtime").string());
        fs::remove_all(dir);
    }
    // A second name where the file system allows it, a copy otherwise.
    static void place(const fs::path& from, const fs::path& to) {
        fs::create_directories(to.parent_path());
        std::error_code linked;
        fs::create_hard_link(from, to, linked);
        if (linked) fs::copy_file(from, to);
    }

    // Starts the app with its log in a file of its own; returns the log's path.
    pid_t launch(fs::path& logPath) {
        logPath = dir / ("app-" + std::to_string(++launches) + ".log");
        const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t app =
            brimo::test::spawnChild({(bundle / "Contents/MacOS/Brimo").string()}, -1, logFd);
        ::close(logFd);
        return app;
    }
    // Registered with the service, and the updater's start has ended.
    static bool registered(const fs::path& logPath) {
        return processEventsUntil([&] {
            const std::string log = readText(logPath);
            return log.find("registerClient desktopApp: true") != std::string::npos &&
                   log.find("Sparkle updater") != std::string::npos;
        });
    }
    // Runs the app until it has registered with the service, then ends it; returns its log.
    std::string launchUntilRegistered() {
        fs::path logPath;
        const pid_t app = launch(logPath);
        const bool done = registered(logPath);
        brimo::test::stopChild(app);
        EXPECT_TRUE(done) << readText(logPath);
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

TEST_F(AppLaunchTest, ALaterLaunchHandsOverToTheRunningCopyAndEnds) {
    fs::path firstLog;
    const pid_t first = launch(firstLog);
    ASSERT_TRUE(registered(firstLog)) << readText(firstLog);

    fs::path secondLog;
    const pid_t second = launch(secondLog);
    int status = -1;
    bool reaped = false;
    const bool ended = processEventsUntil(
        [&] { return reaped || (reaped = ::waitpid(second, &status, WNOHANG) == second); });
    if (!ended) brimo::test::stopChild(second);
    brimo::test::stopChild(first);
    ASSERT_TRUE(ended) << readText(secondLog);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string log = readText(secondLog);
    EXPECT_NE(log.find("Brimo is already running; showing its window"), std::string::npos) << log;
    // It handed over before any start-up work of its own.
    EXPECT_EQ(log.find("connecting to bridge"), std::string::npos) << log;
    EXPECT_EQ(log.find("Sparkle"), std::string::npos) << log;
}

// A launch while another copy is starting (it holds the lock beside the hand-over socket but
// does not serve yet, played here by this test) never takes its place: it hands over once that
// copy serves, or ends.
TEST_F(AppLaunchTest, ALaunchWhileAnotherCopyStartsHandsOverToItOrEnds) {
    const QString socket = QString::fromStdString((dir / "runtime/Ozm.Tarvel.Mac.app").string());
    const int lock =
        ::open((socket.toStdString() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto endsWith = [&](pid_t app, const fs::path& log, const std::string& line) {
        int status = -1;
        bool reaped = false;
        const bool ended = processEventsUntil(
            [&] { return reaped || (reaped = ::waitpid(app, &status, WNOHANG) == app); });
        if (!ended) brimo::test::stopChild(app);
        EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << readText(log);
        EXPECT_NE(readText(log).find(line), std::string::npos) << readText(log);
        EXPECT_EQ(readText(log).find("connecting to bridge"), std::string::npos) << readText(log);
    };

    fs::path log;
    const pid_t ends = launch(log);
    endsWith(ends, log, "another copy of Brimo is starting; this one ends");
    EXPECT_FALSE(fs::exists(socket.toStdString())) << "the starting copy's place stays free";

    const pid_t handsOver = launch(log);
    // The starting copy serves a moment later.
    processEventsUntil([] { return false; }, std::chrono::milliseconds(500));
    QLocalServer starting;
    ASSERT_TRUE(starting.listen(socket));
    QByteArray asked;
    QObject::connect(&starting, &QLocalServer::newConnection, [&] {
        QLocalSocket* later = starting.nextPendingConnection();
        QObject::connect(later, &QLocalSocket::readyRead, [&asked, later] {
            asked += later->readAll();
            if (asked.endsWith('\n')) later->write("ok\n");
        });
    });
    endsWith(handsOver, log, "Brimo is already running; showing its window");
    EXPECT_EQ(asked, "reopen\n");
    ::close(lock);
}

// The app started from a download folder, in this process: it asks, copies itself into the
// Applications folder and relaunches from there; meanwhile this copy shows nothing, registers
// no login item, opens no link to the service and starts no updater.
class RelocatingLaunchTest : public testing::Test {
protected:
    RelocatingLaunchTest() {
        test::writeInfoPlist(source / "Contents/Info.plist",
                             {{"CFBundleIdentifier", "Ozm.Tarvel.Mac"}, {"CFBundleVersion", "1"}});
        fs::create_directories(source / "Contents/MacOS");
        test::writeScript(source / "Contents/MacOS/Brimo",
                          "echo started >> '" + (dir / "relaunched").string() + "'");
        test::writeScript(source / "Contents/MacOS/brimo-launchctl", "exit 0");
        fs::create_directories(dir / "runtime");
        fs::permissions(dir / "runtime", fs::perms::owner_all);
        MainBundle::install(source);
    }
    ~RelocatingLaunchTest() override {
        MainBundle::install(std::nullopt);
        // The relaunch waits for this process to end; it must not outlive the test.
        brimo::test::killProcessesWith({}, "HOME=" + (dir / "home").string());
        fs::remove_all(dir);
    }

    const fs::path dir = makeDir();
    brimo::test::ScopedEnvironment environment{
        {"HOME", (dir / "home").c_str()},
        {"XDG_CONFIG_HOME", (dir / "home/.config").c_str()},
        {"XDG_DATA_HOME", (dir / "home/.local/share").c_str()},
        {"XDG_RUNTIME_DIR", (dir / "runtime").c_str()},
        {"USBMUXD_SOCKET_ADDRESS", ("UNIX:" + (dir / "no-usbmuxd").string()).c_str()}};
    const fs::path source = dir / "Downloads/Brimo.app";
};

TEST_F(RelocatingLaunchTest, ShowsNothingRegistersNothingConnectsNothing) {
    TarvelApp app;
    QString asked;
    test::whenMessageBoxShows([&](QMessageBox& box) { asked = box.text(); });
    app.launch();

    EXPECT_EQ(asked.toStdString(), "Move to Applications folder?");
    EXPECT_TRUE(fs::exists(dir / "home/Applications/Brimo.app/Contents/MacOS/Brimo"));
    EXPECT_FALSE(app.delegate().canPresent());
    // The icon is there; the menu and the window are empty.
    EXPECT_FALSE(app.menuBarLabel().symbol().isEmpty());
    EXPECT_TRUE(app.menu().actions().isEmpty());
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_EQ(app.mainWindow()->content(), nullptr);
    EXPECT_FALSE(app.mainWindow()->isVisible());
    EXPECT_FALSE(fs::exists(dir / "home/.config/autostart/Ozm.Tarvel.Mac.desktop"));
    EXPECT_FALSE(QSettings().contains(TarvelAppDelegate::kDidRegisterLaunchAtLogin));
    EXPECT_FALSE(app.delegate().xpcClient().hasConnection());
    EXPECT_FALSE(app.delegate().updater().isStarted());
    // Opening the window now still shows nothing of this copy.
    app.openMainWindow();
    EXPECT_EQ(app.mainWindow()->content(), nullptr);
}

// What the gate held back comes once it opens: the window's content and the menu's items.
TEST_F(RelocatingLaunchTest, TheWindowAndTheMenuFillInWhenTheGateOpens) {
    TarvelApp app;
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_EQ(app.mainWindow()->content(), nullptr);
    EXPECT_TRUE(app.menu().actions().isEmpty());
    emit app.delegate().canPresentChanged(true);
    EXPECT_NE(app.mainWindow()->content(), nullptr);
    EXPECT_FALSE(app.menu().actions().isEmpty());
}

} // namespace
} // namespace brimo::app
