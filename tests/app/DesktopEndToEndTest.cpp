#include "tests/app/AppTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopSession.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/SimProcess.h"

#include <QColor>
#include <QImage>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>

// The app as a user meets it: the real Brimo on an X display with a system tray, the real
// service, the simulated phone and the real drive. The tray menu is driven with the mouse and
// the keyboard; what it does shows in the mount table and in what the file manager was asked.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readText;

constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";

// Polls `done` until it holds (true) or `limit` has passed (false); `done` may act, as it runs
// once a try.
template <class P> bool waitUntil(P done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
}

using test::processesWith;

class DesktopEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string missing = test::DesktopSession::missingTools();
        if (!missing.empty()) GTEST_SKIP() << "not installed: " << missing;
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse cannot be opened";

        fs::create_directories(runtimeDir());
        fs::permissions(runtimeDir(), fs::perms::owner_all);
        fs::create_directories(dir() / "phone");
        fs::create_directories(dir() / "bin");
        // The file manager the app opens: it records what it was asked to show.
        test::writeScript(dir() / "bin/xdg-open",
                          "echo \"$1\" >> '" + (dir() / "opened").string() + "'");
        placeBundle();

        sim.emplace(test::SimProcess::Options{{}, "", (dir() / "phone").string()});
        desktop.emplace(panel());
        const std::string path = (dir() / "bin").string() + ":" + std::getenv("PATH");
        environment.emplace(std::initializer_list<std::pair<const char*, const char*>>{
            {"HOME", home().c_str()},
            {"XDG_CONFIG_HOME", (home() / ".config").c_str()},
            {"XDG_DATA_HOME", dataHome().c_str()},
            {"XDG_STATE_HOME", (home() / ".local/state").c_str()},
            {"XDG_RUNTIME_DIR", runtimeDir().c_str()},
            {"USBMUXD_SOCKET_ADDRESS", sim->usbmuxdAddress().c_str()},
            {"DISPLAY", desktop->display().c_str()},
            {"QT_QPA_PLATFORM", "xcb"},
            {"WAYLAND_DISPLAY", nullptr},
            // No desktop bus: the tray icon goes to this display's tray.
            {"DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir() / "no-bus").string()).c_str()},
            // Only the app's request reaches the recording file manager, not the service's.
            {"BRIMO_OPEN_TOOL", "/bin/true"},
            {"PATH", path.c_str()}});

        service =
            start(bundle() / "Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService",
                  dir() / "service.log");
        ASSERT_TRUE(waitUntil([&] { return fs::exists(runtimeDir() / "Ozm.Tarvel.Mac.XPC"); }))
            << readText(dir() / "service.log");
        app = start(bundle() / "Contents/MacOS/Brimo", appLogPath());
    }

    // The tray panel's colour ("0xRRGGBB"), or trayer's own.
    virtual std::string panel() const { return {}; }

    void TearDown() override {
        if (app > 0) test::stopChild(app);
        if (mounted()) test::runChild({BRIMO_UMOUNT_PATH, "-f", mountPoint().string()});
        for (pid_t pid : processesWith("Brimofs", "XDG_DATA_HOME=" + dataHome().string()))
            ::kill(pid, SIGTERM);
        waitUntil([&] {
            return processesWith("Brimofs", "XDG_DATA_HOME=" + dataHome().string()).empty();
        });
        if (service > 0) test::stopChild(service);
        // A service the app started again by itself is nobody's child here.
        test::killProcessesWith("BrimoService", "XDG_RUNTIME_DIR=" + runtimeDir().string());
        environment.reset();
        desktop.reset();
        sim.reset();
    }

    // A copy of the built bundle in the private ~/Applications, so that the app stays where it is.
    void placeBundle() const {
        const fs::path built = fs::path(BRIMO_APP_PATH).parent_path().parent_path().parent_path();
        for (const auto& entry : fs::recursive_directory_iterator(built)) {
            const fs::path to = bundle() / fs::relative(entry.path(), built);
            if (entry.is_directory()) {
                fs::create_directories(to);
                continue;
            }
            // A second name where the file system allows it, a copy otherwise.
            std::error_code linked;
            fs::create_hard_link(entry.path(), to, linked);
            if (linked) fs::copy_file(entry.path(), to);
        }
    }

    pid_t start(const fs::path& executable, const fs::path& logPath) {
        const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t pid = test::spawnChild({executable.string()}, -1, logFd);
        ::close(logFd);
        return pid;
    }

    // The app's last "state:" line, without its log prefix.
    std::string lastState() const {
        const std::string log = readText(appLogPath());
        const size_t at = log.rfind("state: connected=");
        return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
    }
    bool reachesState(const std::string& state) {
        return waitUntil([&] { return lastState() == state; });
    }
    std::string logs() const {
        return "app:\n" + readText(appLogPath()) + "service:\n" + readText(dir() / "service.log");
    }

    bool mounted() const { return test::isMounted(mountPoint()); }

    fs::path dir() const { return temp.path(); }
    fs::path home() const { return dir() / "home"; }
    fs::path dataHome() const { return home() / ".local/share"; }
    fs::path runtimeDir() const { return dir() / "runtime"; }
    fs::path mountPoint() const { return home() / "Brimo"; }
    fs::path bundle() const { return home() / "Applications/Brimo.app"; }
    fs::path appLogPath() const { return dir() / "app.log"; }

    test::TemporaryFolder temp{"brimo-desktop"};
    std::optional<test::SimProcess> sim;
    std::optional<test::DesktopSession> desktop;
    std::optional<test::ScopedEnvironment> environment;
    pid_t service = -1;
    pid_t app = -1;
};

TEST_F(DesktopEndToEndTest, TheTrayMenuOpensTheMountedDriveAndEjectsIt) {
    ASSERT_TRUE(desktop->waitForWindow("Brimo")) << "the window shows at launch\n" << logs();
    ASSERT_TRUE(reachesState("state: connected=true phone=false drive=false")) << logs();

    // The phone is plugged in, then asks for its drive.
    ASSERT_EQ(sim->control(std::string("attach ") + kPhone).rfind("OK", 0), 0u);
    ASSERT_TRUE(reachesState("state: connected=true phone=true drive=false")) << logs();
    fs::create_directories(dir() / "phone/DCIM");
    ASSERT_TRUE(waitUntil(
        [&] { return sim->control(std::string("push ") + kPhone + " mount mount") != "OK 0"; }));
    ASSERT_TRUE(waitUntil([&] { return mounted(); })) << logs();
    ASSERT_TRUE(reachesState("state: connected=true phone=true drive=true")) << logs();
    EXPECT_TRUE(fs::is_directory(mountPoint() / "DCIM"));

    // "Open in File Manager", the first item, hands the mount point to the file manager.
    ASSERT_TRUE(desktop->clickTrayIcon(app)) << logs();
    desktop->pressKeys({"Down", "Return"});
    ASSERT_TRUE(waitUntil([&] { return !readText(dir() / "opened").empty(); })) << logs();
    const std::string opened = readText(dir() / "opened");
    EXPECT_TRUE(opened == "file://" + mountPoint().string() + "\n" ||
                opened == mountPoint().string() + "\n")
        << opened;

    // "Eject", past the separator and "Open Brimo…", unmounts the drive.
    ASSERT_TRUE(desktop->clickTrayIcon(app)) << logs();
    desktop->pressKeys({"Down", "Down", "Down", "Return"});
    EXPECT_TRUE(waitUntil([&] { return !mounted(); })) << logs();
    EXPECT_TRUE(reachesState("state: connected=true phone=true drive=false")) << logs();
    EXPECT_EQ(readText(dir() / "opened"), opened) << "nothing else was opened";

    // Ejected from a file manager's sidebar instead, the drive goes the same way.
    ASSERT_TRUE(waitUntil(
        [&] { return sim->control(std::string("push ") + kPhone + " mount mount") != "OK 0"; }));
    ASSERT_TRUE(reachesState("state: connected=true phone=true drive=true")) << logs();
    const auto ejected = test::runChild({"gio", "mount", "-u", mountPoint().string()});
    EXPECT_EQ(ejected.exitCode, 0) << ejected.output;
    EXPECT_TRUE(waitUntil([&] { return !mounted(); })) << logs();
    EXPECT_TRUE(reachesState("state: connected=true phone=true drive=false")) << logs();
    EXPECT_EQ(readText(appLogPath()).find("notification:"), std::string::npos)
        << "nothing to tell of an eject";

    // Unplugged while the drive is mounted, the phone's going is told.
    ASSERT_TRUE(waitUntil(
        [&] { return sim->control(std::string("push ") + kPhone + " mount mount") != "OK 0"; }));
    ASSERT_TRUE(reachesState("state: connected=true phone=true drive=true")) << logs();
    ASSERT_EQ(sim->control(std::string("detach ") + kPhone).rfind("OK", 0), 0u);
    EXPECT_TRUE(waitUntil([&] {
        return readText(appLogPath()).find("notification: Phone Disconnected") != std::string::npos;
    })) << logs();
    EXPECT_TRUE(waitUntil([&] { return !mounted(); })) << logs();
}

// On a dark panel and on a light one, the tray icon's symbol stands out from the panel: the app
// looks at the panel around its icon, as the screen shows it.
class TrayPanelTest : public DesktopEndToEndTest, public testing::WithParamInterface<const char*> {
protected:
    std::string panel() const override { return GetParam(); }
};

TEST_P(TrayPanelTest, TheTrayIconStandsOutOnThePanel) {
    ASSERT_TRUE(desktop->waitForWindow("Brimo")) << logs();
    const QColor panel(QString(GetParam()).replace("0x", "#"));
    const fs::path shot = dir() / "icon.png";
    // The share of the icon's pixels far from the panel's lightness: its symbol.
    double standsOut = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto icons = desktop->trayIcons(app);
            if (icons.empty() || !desktop->capture(icons.front(), shot.string())) return false;
            const QImage image(QString::fromStdString(shot.string()));
            int far = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    far += std::abs(image.pixelColor(x, y).lightnessF() - panel.lightnessF()) > 0.5;
            standsOut = image.isNull() ? 0 : double(far) / (image.width() * image.height());
            return standsOut > 0.05;
        },
        10s))
        << GetParam() << ": " << standsOut * 100 << " % of the icon stands out\n"
        << logs();
}

INSTANTIATE_TEST_SUITE_P(DesktopEndToEnd, TrayPanelTest, testing::Values("0x1E1E1E", "0xF0F0F0"),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "Dark" : "Light");
                         });

} // namespace
} // namespace brimo::app
