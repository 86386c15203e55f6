#include "app/IpcThread.h"
#include "app/XPCClient.h"
#include "shared/BundleInfo.h"
#include "shared/Log.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnvironment.h"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>

// The start-up sequence against the real BrimoService, reset with the real pgrep and
// brimo-launchctl: every BrimoService of this user is fair game here, so these tests run alone.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::processEventsUntil;

// The service of this build reports the build number; the app bundle of the tests is one newer.
class XPCClientSystemTest : public testing::Test {
protected:
    XPCClientSystemTest() {
        char pattern[] = "/tmp/brimo-app-system-XXXXXX";
        dir = ::mkdtemp(pattern);
        for (const char* name : {"XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
            fs::create_directories(dir / name);
            fs::permissions(dir / name, fs::perms::owner_all);
        }
        // No phone: the service's device watcher finds nobody at this address.
        const std::string noUsbmuxd = "UNIX:" + (dir / "no-usbmuxd").string();
        environment.emplace(std::initializer_list<std::pair<const char*, const char*>>{
            {"XDG_RUNTIME_DIR", (dir / "XDG_RUNTIME_DIR").c_str()},
            {"XDG_DATA_HOME", (dir / "XDG_DATA_HOME").c_str()},
            {"XDG_STATE_HOME", (dir / "XDG_STATE_HOME").c_str()},
            {"USBMUXD_SOCKET_ADDRESS", noUsbmuxd.c_str()}});
        buildVersion = parseBundleVersion(
            infoDictionaryString(fs::path(BRIMO_SERVICE_PATH).parent_path().parent_path() /
                                     "Info.plist",
                                 "CFBundleVersion")
                .value_or("0"));
        bundle = makeAppBundle(dir / "Brimo.app", std::to_string(buildVersion + 1));
    }
    ~XPCClientSystemTest() override {
        client.reset();
        killServices();
        environment.reset();
        fs::remove_all(dir);
    }

    // An app bundle whose service copy carries `version`, with the real brimo-launchctl.
    static fs::path makeAppBundle(const fs::path& bundle, const std::string& version) {
        test::writeInfoPlist(
            bundle / "Contents/Info.plist",
            {{"CFBundleIdentifier", "Ozm.Tarvel.Mac"}, {"CFBundleVersion", version}});
        const fs::path service = bundle / "Contents/XPCServices/BrimoService.xpc/Contents";
        test::writeInfoPlist(service / "Info.plist", {{"CFBundleIdentifier", "Ozm.Tarvel.Mac.XPC"},
                                                      {"CFBundleVersion", version}});
        fs::create_directories(service / "MacOS");
        fs::copy_file(BRIMO_SERVICE_PATH, service / "MacOS/BrimoService");
        fs::create_directories(bundle / "Contents/MacOS");
        fs::copy_file(BRIMO_LAUNCHCTL_PATH, bundle / "Contents/MacOS/brimo-launchctl");
        return bundle;
    }
    fs::path bundledService() const {
        return bundle / "Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService";
    }

    // This test's services: those with its runtime directory.
    std::vector<pid_t> services() const {
        std::vector<pid_t> found;
        for (const auto& application : applications.withBundleIdentifier("Ozm.Tarvel.Mac.XPC"))
            if (test::readText("/proc/" + std::to_string(application.processIdentifier) +
                               "/environ")
                    .find("XDG_RUNTIME_DIR=" + (dir / "XDG_RUNTIME_DIR").string()) !=
                std::string::npos)
                found.push_back(application.processIdentifier);
        return found;
    }
    // The executable a service runs; empty once it is gone.
    static fs::path executableOf(pid_t pid) {
        std::error_code ignored;
        return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ignored);
    }
    void killServices() {
        for (pid_t pid : services()) {
            ::kill(pid, SIGCONT);
            ::kill(pid, SIGKILL);
        }
        processEventsUntil([&] { return services().empty(); });
    }
    // The build's own service, started directly: one build number older than the app.
    pid_t startBuildService() {
        const pid_t pid = brimo::test::spawnChild({BRIMO_SERVICE_PATH});
        EXPECT_TRUE(processEventsUntil([&] {
            return fs::exists(dir / "XDG_RUNTIME_DIR/Ozm.Tarvel.Mac.XPC") && services().size() == 1;
        }));
        // Not our child to reap: the service is found and killed by its name.
        std::thread([pid] { brimo::test::waitChild(pid); }).detach();
        return pid;
    }

    void makeClient() {
        client = XPCClient::create(
            {ipcThread.executor(), state, teardown, clock, MainBundle(bundle), {}});
    }
    void startUp() {
        client->startAndVerifyService([this] { started = true; });
    }
    // Waits for a line starting with `prefix`, then moves the fake clock on by `delay`.
    void advanceAfter(const std::string& prefix, std::chrono::milliseconds delay) {
        ASSERT_TRUE(processEventsUntil([&] { return loggedStartingWith(prefix); })) << prefix;
        clock.advance(delay);
    }
    std::string guiBootout() const {
        return "launchctl bootout gui/" + std::to_string(::getuid()) +
               "/Ozm.Tarvel.Mac.XPC status=";
    }
    // The reset's pause has passed: a fresh service from the app's bundle is registered.
    void expectReplacedBy(pid_t old) {
        ASSERT_TRUE(processEventsUntil([&] { return started && state.isConnected(); }));
        EXPECT_TRUE(executableOf(old).empty());
        const auto running = services();
        ASSERT_EQ(running.size(), 1u);
        EXPECT_NE(running[0], old);
        EXPECT_EQ(executableOf(running[0]), bundledService());
    }
    bool loggedStartingWith(const std::string& prefix) const {
        for (const auto& line : logs->messages())
            if (line.starts_with(prefix)) return true;
        return false;
    }

    fs::path dir;
    fs::path bundle;
    int64_t buildVersion = 0;
    std::optional<test::ScopedEnvironment> environment;
    log::ScopedMemorySink logs;
    ProcRunningApplications applications;
    AppLifecycleTeardown teardown{applications, "/usr/bin/pgrep", BRIMO_LAUNCHCTL_PATH};
    FakeAppClock clock;
    XPCClientState state;
    IpcThread ipcThread;
    std::shared_ptr<XPCClient> client;
    bool started = false;
};

TEST_F(XPCClientSystemTest, AServiceAsNewAsTheAppOrNewerIsStartedOnDemandAndKept) {
    const int64_t service = buildVersion + 1;
    // Equal, the service newer, and apps without a usable version (0).
    const std::vector<std::pair<std::optional<std::string>, int64_t>> apps{
        {std::to_string(service), service},
        {std::to_string(service - 1), service - 1},
        {std::nullopt, 0},
        {"1.0", 0}};
    for (const auto& [appVersion, parsed] : apps) {
        std::vector<std::pair<std::string, std::string>> entries{
            {"CFBundleIdentifier", "Ozm.Tarvel.Mac"}};
        if (appVersion) entries.emplace_back("CFBundleVersion", *appVersion);
        test::writeInfoPlist(bundle / "Contents/Info.plist", entries);
        started = false;
        logs->clear();
        makeClient();
        startUp();
        ASSERT_TRUE(processEventsUntil([&] { return started && state.isConnected(); }));
        EXPECT_TRUE(logs->contains("XPC version check app=" + std::to_string(parsed) +
                                   " xpc=" + std::to_string(service)));
        const auto running = services();
        ASSERT_EQ(running.size(), 1u);
        EXPECT_EQ(executableOf(running[0]), bundledService());
        EXPECT_FALSE(loggedStartingWith("SIGKILL leftover helper"));
        EXPECT_FALSE(loggedStartingWith("force-terminating leftover helper"));
        client.reset();
        state.setConnected(false);
    }
}

TEST_F(XPCClientSystemTest, AStaleServiceIsShutDownKilledAndReplacedByTheBundlesOwn) {
    const pid_t stale = startBuildService();
    makeClient();
    startUp();
    advanceAfter(guiBootout(), 200ms);
    expectReplacedBy(stale);
    const auto lines = logs->messages();
    const std::vector<std::string> order{
        "XPC version check app=" + std::to_string(buildVersion + 1) +
            " xpc=" + std::to_string(buildVersion),
        "stale XPC service detected — shutdown and relaunch",
        "bridge connection invalidated by host",
        "force-terminating leftover helper Ozm.Tarvel.Mac.XPC pid=" + std::to_string(stale),
        "registerClient desktopApp: true"};
    auto at = lines.begin();
    for (const auto& line : order) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << "missing or out of order: " << line;
    }
}

TEST_F(XPCClientSystemTest, AStoppedServiceHoldingTheSocketIsKilledAndReplaced) {
    const pid_t silent = startBuildService();
    ASSERT_EQ(::kill(silent, SIGSTOP), 0);
    makeClient();
    startUp();
    advanceAfter("connecting to bridge", 1s);
    EXPECT_TRUE(logs->contains(
        "getXPCServiceVersion failed — resetting launchd XPC registration and retrying"));
    advanceAfter(guiBootout(), 400ms);
    expectReplacedBy(silent);
    EXPECT_TRUE(logs->contains("force-terminating leftover helper Ozm.Tarvel.Mac.XPC pid=" +
                               std::to_string(silent)));
}

TEST_F(XPCClientSystemTest, WithoutAnyServiceTheAppEndsUnregistered) {
    fs::remove(bundledService());
    makeClient();
    startUp();
    advanceAfter("bridge connection invalidated", 1s);
    advanceAfter(guiBootout(), 400ms);
    EXPECT_TRUE(started);
    ASSERT_TRUE(processEventsUntil([&] { return !client->hasConnection(); }));
    EXPECT_FALSE(state.isConnected());
    EXPECT_TRUE(logs->contains(guiBootout() + "3"));
}

TEST_F(XPCClientSystemTest, AKilledServiceIsRelaunchedAfterTheWaitUnlessAnotherStillRuns) {
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return started && state.isConnected(); }));
    auto running = services();
    ASSERT_EQ(running.size(), 1u);

    // Another process named like the service still runs: no relaunch.
    fs::copy_file("/bin/sleep", dir / "BrimoService");
    const pid_t decoy = brimo::test::spawnChild({(dir / "BrimoService").string(), "300"});
    ASSERT_TRUE(processEventsUntil([&] {
        const auto pids = teardown.pgrepPIDs("BrimoService");
        return std::find(pids.begin(), pids.end(), decoy) != pids.end();
    }));
    ::kill(running[0], SIGKILL);
    advanceAfter("bridge reconnect — waiting before process check", 10s);
    EXPECT_TRUE(logs->contains("bridge reconnect — XPC process still running, skip relaunch"));
    brimo::test::stopChild(decoy);

    // The app registers again on the kept connection, whose message starts the service again.
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    logs->clear();
    running = services();
    ASSERT_EQ(running.size(), 1u);

    // Gone for good: the app connects and registers afresh after the wait.
    ::kill(running[0], SIGKILL);
    advanceAfter("bridge reconnect — waiting before process check", 10s);
    EXPECT_TRUE(logs->contains("bridge reconnect — XPC process gone, relaunching"));
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected() && services().size() == 1; }));
    EXPECT_NE(services()[0], running[0]);
}

} // namespace
} // namespace brimo::app
