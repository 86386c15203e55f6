#include "app/XPCClient.h"
#include "app/IpcThread.h"
#include "shared/BridgeContract.h"
#include "shared/Log.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/ServiceListener.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScopedEnvironment.h"

#include <QSignalSpy>
#include <asio/post.hpp>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

namespace brimo::app {
namespace {

using namespace std::chrono_literals;
using test::processEventsUntil;
namespace fs = std::filesystem;

// A bridge service in this process, on a loop of its own, scripted by the test.
class ScriptedService : public ipc::ListenerDelegate {
public:
    struct Host : ipc::TarvelBridgeHostProtocol {
        ScriptedService& service;
        explicit Host(ScriptedService& s)
            : service(s) {}
        void registerClient(int64_t role, ipc::Reply<bool> reply) override {
            service.registrations.push_back(role);
            reply(service.acceptRegistration.load());
        }
        void echo(ipc::Reply<> reply) override { reply(); }
        void ping(int64_t, ipc::Reply<bool> reply) override { reply(true); }
        void benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) override {
            reply(data.size());
        }
        void requestExtToHostPing(int64_t, ipc::Reply<double> reply) override { reply(0); }
        void requestExtToHostThroughput(uint64_t, uint64_t, ipc::Reply<double> reply) override {
            reply(0);
        }
        void requestHostToExtThroughput(uint64_t, uint64_t, ipc::Reply<double> reply) override {
            reply(0);
        }
        void runUsbMuxSpeedTest(ipc::Reply<bool, std::string> reply) override { reply(true, ""); }
        void relayToUsbMux(int64_t, Bytes, ipc::Reply<Bytes, int64_t, int64_t> reply) override {
            reply({}, 0, 0);
        }
        void requestFileIO(int64_t, Bytes, ipc::Reply<Bytes, int64_t> reply) override {
            reply({}, 0);
        }
        void filesystemDidUnmount() override {}
        void shutdown(ipc::Reply<bool> reply) override {
            ++service.shutdowns;
            if (service.silent)
                service.heldShutdowns.push_back(std::move(reply));
            else
                reply(true);
        }
        void getXPCServiceVersion(ipc::Reply<int64_t> reply) override {
            ++service.versionCalls;
            // Silent: the reply is kept unanswered, as by a service that hangs.
            if (service.silent)
                service.held.push_back(std::move(reply));
            else
                reply(service.version.load());
        }
    };

    std::atomic<int64_t> version{1};
    std::atomic<bool> silent{false};
    std::atomic<bool> acceptRegistration{true};
    std::atomic<int> shutdowns{0};
    std::atomic<int> versionCalls{0};
    // Loop thread only.
    std::vector<int64_t> registrations;
    std::vector<ipc::Reply<int64_t>> held;
    std::vector<ipc::Reply<bool>> heldShutdowns;
    std::vector<std::shared_ptr<ipc::ServiceConnection>> connections;

    bool shouldAcceptNewConnection(const std::shared_ptr<ipc::ServiceConnection>& conn) override {
        conn->setExportedObject(std::make_shared<Host>(*this));
        conn->resume();
        connections.push_back(conn);
        return true;
    }
};

// The client under test with fake teardown tools (they only record their calls) and a fake
// clock, against a scripted service in a private runtime directory.
class XPCClientTest : public testing::Test {
protected:
    XPCClientTest() {
        char pattern[] = "/tmp/brimo-xpcclient-XXXXXX";
        dir = ::mkdtemp(pattern);
        runtime.emplace("XDG_RUNTIME_DIR", dir.string());
        bundle = dir / "Brimo.app";
        setAppVersion("5");
        test::writeScript(dir / "pgrep", "exit 1");
        test::writeScript(dir / "launchctl",
                          "echo \"$@\" >> '" + (dir / "launchctl.log").string() + "'");
        teardown.emplace(applications, dir / "pgrep", dir / "launchctl");
    }
    ~XPCClientTest() override {
        client.reset();
        stopService();
        runtime.reset();
        fs::remove_all(dir);
    }

    void setAppVersion(std::optional<std::string> version) {
        std::vector<std::pair<std::string, std::string>> entries{
            {"CFBundleIdentifier", "Ozm.Tarvel.Mac"}};
        if (version) entries.emplace_back("CFBundleVersion", *version);
        test::writeInfoPlist(bundle / "Contents/Info.plist", entries);
    }

    void startService() {
        onServiceLoop([this] {
            listener = std::make_unique<ipc::ServiceListener>(
                serviceLoop.executor(), ipc::serviceSocketPath(ipc::kServiceName));
            listener->setDelegate(service);
            listener->resume();
        });
    }
    void stopService() {
        onServiceLoop([this] {
            if (listener) listener->invalidate();
            listener.reset();
            service->connections.clear();
            service->held.clear();
        });
    }
    // The service closes every connection, as when its process ends.
    void dropConnections() {
        onServiceLoop([this] {
            for (auto& connection : service->connections)
                connection->invalidate();
            service->connections.clear();
        });
    }
    void notify(int64_t code, std::string payload) {
        onServiceLoop([this, code, payload] {
            for (auto& connection : service->connections)
                connection->remoteObjectProxy({}).notifyClient(
                    code, Bytes(payload.begin(), payload.end()));
        });
    }
    template <class F> void onServiceLoop(F job) {
        std::promise<void> done;
        asio::post(serviceLoop.executor(), [&] {
            job();
            done.set_value();
        });
        done.get_future().wait();
    }
    size_t registrations() {
        size_t count = 0;
        onServiceLoop([&] { count = service->registrations.size(); });
        return count;
    }

    void makeClient() {
        // No launcher: a client that finds nobody listening gives up at once.
        ipc::ConnectOptions options;
        client = XPCClient::create(
            {ipcThread.executor(), state, *teardown, clock, MainBundle(bundle), options});
    }

    // Starts the start-up sequence; `started` becomes true when it has ended.
    void startUp() {
        client->startAndVerifyService([this] { started = true; });
    }
    // Waits for `line`, then moves the fake clock on by `delay`.
    void advanceAfter(const std::string& line, std::chrono::milliseconds delay) {
        ASSERT_TRUE(processEventsUntil([&] { return logged(line); })) << line;
        clock.advance(delay);
    }
    std::string bootoutLine(const char* domain) const {
        return std::string("launchctl bootout ") + domain + "/" + std::to_string(::getuid()) +
               "/Ozm.Tarvel.Mac.XPC status=0";
    }

    std::vector<std::string> appLines() const {
        std::vector<std::string> lines;
        for (const auto& record : logs->records())
            if (record.category == "App") lines.push_back(record.message);
        return lines;
    }
    bool logged(const std::string& line) const { return logs->contains(line); }

    fs::path dir;
    fs::path bundle;
    std::optional<test::ScopedEnvironment> runtime;
    log::ScopedMemorySink logs;
    test::FakeRunningApplications applications;
    std::optional<AppLifecycleTeardown> teardown;
    FakeAppClock clock;
    XPCClientState state;
    IpcThread serviceLoop;
    IpcThread ipcThread;
    std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
    std::unique_ptr<ipc::ServiceListener> listener;
    std::shared_ptr<XPCClient> client;
    bool started = false;
};

TEST_F(XPCClientTest, AServiceAsNewAsTheAppIsRegisteredAtOnce) {
    for (int64_t serviceVersion : {5, 6}) {
        service->version = serviceVersion;
        startService();
        makeClient();
        logs->clear();
        startUp();
        ASSERT_TRUE(processEventsUntil([&] { return started && state.isConnected(); }));
        EXPECT_EQ(appLines(), (std::vector<std::string>{"connecting to bridge Ozm.Tarvel.Mac.XPC",
                                                        "XPC version check app=5 xpc=" +
                                                            std::to_string(serviceVersion),
                                                        "registerClient desktopApp: true"}));
        EXPECT_EQ(service->shutdowns, 0);
        EXPECT_FALSE(fs::exists(dir / "launchctl.log"));
        client.reset();
        stopService();
        state.setConnected(false);
    }
}

TEST_F(XPCClientTest, AnAppWithoutANumericVersionAcceptsAnyAnsweringService) {
    for (std::optional<std::string> appVersion :
         {std::optional<std::string>{}, std::optional<std::string>{"1.2"}}) {
        setAppVersion(appVersion);
        service->version = 0;
        startService();
        makeClient();
        logs->clear();
        startUp();
        ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
        EXPECT_TRUE(logged("XPC version check app=0 xpc=0"));
        client.reset();
        stopService();
        state.setConnected(false);
    }
}

TEST_F(XPCClientTest, AStaleServiceIsShutDownResetAndConnectedAgain) {
    service->version = 4;
    startService();
    makeClient();
    startUp();
    advanceAfter(bootoutLine("gui"), 199ms);
    EXPECT_FALSE(client->hasConnection());
    clock.advance(1ms);
    EXPECT_TRUE(started);
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    EXPECT_EQ(service->shutdowns, 1);
    const auto lines = appLines();
    const std::vector<std::string> expected{"connecting to bridge Ozm.Tarvel.Mac.XPC",
                                            "XPC version check app=5 xpc=4",
                                            "stale XPC service detected — shutdown and relaunch",
                                            "bridge connection invalidated by host",
                                            bootoutLine("user"),
                                            bootoutLine("gui"),
                                            "connecting to bridge Ozm.Tarvel.Mac.XPC",
                                            "registerClient desktopApp: true"};
    EXPECT_EQ(lines, expected);
    // The version is not asked a second time.
    EXPECT_EQ(service->versionCalls, 1);
}

TEST_F(XPCClientTest, ASilentServiceIsResetAfterOneSecondWithoutASecondVersionCheck) {
    service->silent = true;
    startService();
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return service->versionCalls == 1; }));
    clock.advance(999ms);
    QCoreApplication::processEvents();
    EXPECT_FALSE(
        logged("getXPCServiceVersion failed — resetting launchd XPC registration and retrying"));
    clock.advance(1ms);
    EXPECT_TRUE(
        logged("getXPCServiceVersion failed — resetting launchd XPC registration and retrying"));
    EXPECT_EQ(test::readText(dir / "launchctl.log"),
              "bootout user/" + std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC\nbootout gui/" +
                  std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC\n");
    EXPECT_FALSE(client->hasConnection());
    clock.advance(399ms);
    EXPECT_FALSE(client->hasConnection());
    clock.advance(1ms);
    EXPECT_TRUE(started);
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    EXPECT_EQ(service->versionCalls, 1);
}

TEST_F(XPCClientTest, WithNoServiceTheResetRunsAndTheAppStaysDisconnected) {
    makeClient();
    startUp();
    // The connection fails at once, but only the time-out ends the version call.
    advanceAfter("bridge connection invalidated", 1s);
    EXPECT_TRUE(
        logged("getXPCServiceVersion failed — resetting launchd XPC registration and retrying"));
    advanceAfter(bootoutLine("gui"), 400ms);
    EXPECT_TRUE(started);
    ASSERT_TRUE(processEventsUntil([&] { return !client->hasConnection(); }));
    EXPECT_FALSE(state.isConnected());
    const auto lines = appLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "connecting to bridge Ozm.Tarvel.Mac.XPC"), 2);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("bridge proxy error: ");
    }));
}

TEST_F(XPCClientTest, ARefusedRegistrationLeavesTheAppDisconnected) {
    service->version = 5;
    service->acceptRegistration = false;
    startService();
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return logged("registerClient desktopApp: false"); }));
    EXPECT_FALSE(state.isConnected());
}

TEST_F(XPCClientTest, AnInterruptionReconnectsOnlyWhenTheServiceProcessIsGone) {
    service->version = 5;
    startService();
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));

    // A service process still runs: the app registers again on the kept connection.
    applications.applications.push_back(
        {4242, "Ozm.Tarvel.Mac.XPC", "/x/BrimoService.xpc", "/x/BrimoService"});
    dropConnections();
    ASSERT_TRUE(processEventsUntil(
        [&] { return logged("bridge reconnect — waiting before process check"); }));
    EXPECT_TRUE(logged("bridge connection interrupted"));
    EXPECT_FALSE(state.isConnected());
    EXPECT_TRUE(client->hasConnection());
    clock.advance(9999ms);
    EXPECT_FALSE(logged("bridge reconnect — XPC process still running, skip relaunch"));
    const size_t before = registrations();
    clock.advance(1ms);
    EXPECT_TRUE(logged("bridge reconnect — XPC process still running, skip relaunch"));
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    EXPECT_EQ(registrations(), before + 1);

    // Gone: after the wait the client connects and registers afresh.
    applications.applications.clear();
    logs->clear();
    dropConnections();
    ASSERT_TRUE(processEventsUntil(
        [&] { return logged("bridge reconnect — waiting before process check"); }));
    clock.advance(10s);
    EXPECT_TRUE(logged("bridge reconnect — XPC process gone, relaunching"));
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    EXPECT_EQ(registrations(), before + 2);
    EXPECT_TRUE(client->hasConnection());
}

TEST_F(XPCClientTest, ResetBeforeRelocateStopsReconnectsEvenDuringTheWait) {
    service->version = 5;
    startService();
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));

    // Interrupted just before the reset: the wait ends in "suppressed".
    dropConnections();
    ASSERT_TRUE(processEventsUntil(
        [&] { return logged("bridge reconnect — waiting before process check"); }));
    client->resetServiceBeforeRelocate();
    EXPECT_TRUE(client->reconnectSuppressed());
    EXPECT_FALSE(client->hasConnection());
    EXPECT_TRUE(logged("unsticking launchd XPC registration before relocate"));
    // The service answered the version call within the wait.
    EXPECT_GE(service->versionCalls, 2);
    clock.advance(10s);
    EXPECT_TRUE(logged("bridge reconnect — suppressed"));
    EXPECT_FALSE(logged("bridge reconnect — XPC process gone, relaunching"));

    // Interrupted after it: no wait at all.
    logs->clear();
    client->connect();
    client->registerAsDesktopApp();
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    dropConnections();
    ASSERT_TRUE(processEventsUntil([&] { return logged("bridge connection interrupted"); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(logged("bridge reconnect — waiting before process check"));
    EXPECT_EQ(clock.pending(), 0u);
}

// Eject's shutdown waits 3 s for a service that never answers; without a connection there is
// nothing to ask.
TEST_F(XPCClientTest, TheShutdownGivesUpAfterThreeSecondsAndIsSkippedWithoutAConnection) {
    makeClient();
    std::optional<bool> outcome;
    client->shutdownService(XPCClient::kShutdownTimeout, [&](bool ok) { outcome = ok; });
    EXPECT_EQ(outcome, true);
    EXPECT_TRUE(logged("shutdown skipped — no bridge proxy"));

    startService();
    client->connect();
    client->registerAsDesktopApp();
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    service->silent = true;
    outcome.reset();
    client->shutdownService(XPCClient::kShutdownTimeout, [&](bool ok) { outcome = ok; });
    ASSERT_TRUE(processEventsUntil([&] { return service->shutdowns == 1; }));
    clock.advance(2999ms);
    QCoreApplication::processEvents();
    EXPECT_FALSE(outcome);
    clock.advance(1ms);
    EXPECT_EQ(outcome, false);
}

// The reset before a relocation waits only a moment for a service that hangs, then boots it out.
TEST_F(XPCClientTest, ResetBeforeRelocateBootsOutASilentService) {
    service->silent = true;
    startService();
    makeClient();
    client->resetServiceBeforeRelocate();
    EXPECT_GE(service->versionCalls, 1) << "the version was asked";
    EXPECT_TRUE(client->reconnectSuppressed());
    EXPECT_FALSE(client->hasConnection());
    EXPECT_EQ(test::readText(dir / "launchctl.log"),
              "bootout user/" + std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC\nbootout gui/" +
                  std::to_string(::getuid()) + "/Ozm.Tarvel.Mac.XPC\n");
}

TEST_F(XPCClientTest, BridgeStateNotificationsSetThePeerFlagsUntilTheLinkIsLost) {
    service->version = 5;
    startService();
    makeClient();
    startUp();
    ASSERT_TRUE(processEventsUntil([&] { return state.isConnected(); }));
    QSignalSpy iosChanges(&state, &XPCClientState::hasIOSConnectionChanged);

    notify(0, R"({"source":2,"connected":true})");
    ASSERT_TRUE(processEventsUntil([&] { return state.hasIOSConnection(); }));
    EXPECT_TRUE(logged("bridge state updated, source=2 connected=true"));
    notify(0, R"({"source":0,"connected":true})");
    ASSERT_TRUE(processEventsUntil([&] { return state.hasFileProviderConnection(); }));
    // The same value again changes nothing and signals nothing.
    notify(0, R"({"source":2,"connected":true})");
    // Ignored: the app's own role, unknown sources, payloads that do not decode, other codes.
    notify(0, R"({"source":1,"connected":false})");
    notify(0, R"({"source":5,"connected":false})");
    notify(0, R"({"source":2,"connected":"no"})");
    notify(0, "not json");
    for (int code : {1, 2, 3, 4, 9})
        notify(code, R"({"source":2,"connected":false})");
    // A marker after them: once it is seen, everything before it has been handled.
    notify(0, R"({"source":0,"connected":false})");
    ASSERT_TRUE(processEventsUntil([&] { return !state.hasFileProviderConnection(); }));
    EXPECT_TRUE(state.hasIOSConnection());
    EXPECT_EQ(iosChanges.count(), 1);
    EXPECT_TRUE(logged("bridge state updated, source=1 connected=false"));
    EXPECT_FALSE(logged("bridge state updated, source=5 connected=false"));

    notify(0, R"({"source":0,"connected":true})");
    ASSERT_TRUE(processEventsUntil([&] { return state.hasFileProviderConnection(); }));
    dropConnections();
    ASSERT_TRUE(processEventsUntil([&] { return !state.isConnected(); }));
    EXPECT_FALSE(state.hasIOSConnection());
    EXPECT_FALSE(state.hasFileProviderConnection());
}

TEST(XPCClientState, SignalsOnlyRealChangesAndALostLinkClearsThePeerFlags) {
    XPCClientState state;
    QSignalSpy connected(&state, &XPCClientState::isConnectedChanged);
    QSignalSpy fileProvider(&state, &XPCClientState::hasFileProviderConnectionChanged);
    QSignalSpy ios(&state, &XPCClientState::hasIOSConnectionChanged);
    QSignalSpy any(&state, &XPCClientState::changed);
    state.setConnected(true);
    state.setConnected(true);
    state.setHasIOSConnection(true);
    state.setHasFileProviderConnection(true);
    EXPECT_EQ(connected.count(), 1);
    // true, and the peer flags are kept.
    state.setConnected(true);
    EXPECT_TRUE(state.hasIOSConnection());
    state.setConnected(false);
    EXPECT_EQ(connected.count(), 2);
    EXPECT_FALSE(state.hasIOSConnection());
    EXPECT_FALSE(state.hasFileProviderConnection());
    EXPECT_EQ(ios.count(), 2);
    EXPECT_EQ(fileProvider.count(), 2);
    state.setConnected(false);
    EXPECT_EQ(ios.count(), 2);
    EXPECT_EQ(any.count(), connected.count() + ios.count() + fileProvider.count());
}

} // namespace
} // namespace brimo::app
