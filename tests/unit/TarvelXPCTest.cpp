#include "service/TarvelXPC.h"
#include "service/BridgeCore.h"
#include "service/MountService.h"
#include "service/TransferCoordinator.h"
#include "service/TunnelRelayBridge.h"
#include "service/tunnel/TunnelEngine.h"
#include "shared/Log.h"
#include "tests/common/ServiceCoreParts.h"

#include "shared/Clock.h"
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

namespace brimo {
namespace {

// Captures what a host method answers.
struct Answer {
    std::optional<ipc::Values> values;
    bool abandoned = false;
};

struct CapturingSink : ipc::ReplySink {
    explicit CapturingSink(Answer& a)
        : answer(a) {}
    void send(ipc::Values values) override { answer.values = std::move(values); }
    void abandon() override { answer.abandoned = true; }
    Answer& answer;
};

template <class... Ts> ipc::Reply<Ts...> replyInto(Answer& answer) {
    return ipc::Reply<Ts...>(std::make_unique<CapturingSink>(answer));
}

struct NoProxyConnection : BridgeClientConnection {
    explicit NoProxyConnection(HostID host)
        : host(host) {}
    HostID exportedObject() const override { return host; }
    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)>) override {
        return nullptr;
    }
    HostID host;
};

struct RecordingServices : HostServices {
    asio::awaitable<void> forceUnmount() override {
        ++forcedUnmounts;
        if (unmountFailure) throw *unmountFailure;
        co_return;
    }
    asio::awaitable<bool> notifyPhoneOfUnmount() override {
        ++notices;
        co_return phoneAnswers;
    }
    void volumeUnmounted() override { ++unmountedCalls; }
    std::optional<MountServiceError> unmountFailure =
        MountServiceError(MountServiceErrorKind::notMounted);
    bool phoneAnswers = true;
    int forcedUnmounts = 0;
    int notices = 0;
    int unmountedCalls = 0;
};

// A client whose diagnostic calls wait until the test answers them or breaks the connection,
// which, as in the IPC layer, sends every pending call to the proxy's error handler instead.
class ScriptedClient : public BridgeClientConnection, public BridgeClientProxy {
public:
    HostID exportedObject() const override { return host_; }
    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)> errorHandler) override {
        errorHandlers.push_back(std::move(errorHandler));
        return std::shared_ptr<BridgeClientProxy>(std::shared_ptr<void>(), this);
    }
    void notifyClient(int64_t, Bytes) override {}
    void echo(ipc::Callback<void()> done) override {
        pending.push_back([done = std::move(done)] { done(); });
    }
    void benchmarkIngest(Bytes data, ipc::Callback<void(uint64_t)> done) override {
        ingested.push_back(std::move(data));
        const auto size = ingested.back().size();
        pending.push_back([done = std::move(done), size] { done(size); });
        maxInFlight = std::max(maxInFlight, pending.size());
    }
    void runExtToHostPing(int64_t count, ipc::Callback<void(double)> done) override {
        forwarded.push_back({count});
        pending.push_back([done = std::move(done), count] { done(count / 100.0); });
    }
    void benchmarkSendChunks(uint64_t size, uint64_t count,
                             ipc::Callback<void(double)> done) override {
        forwarded.push_back({static_cast<int64_t>(size), static_cast<int64_t>(count)});
        pending.push_back([done = std::move(done)] { done(1.5); });
    }

    // Answers the oldest pending call; false when none is pending.
    bool answerOne() {
        if (pending.empty()) return false;
        auto call = std::move(pending.front());
        pending.erase(pending.begin());
        call();
        return true;
    }
    void breakConnection() {
        const size_t calls = pending.size();
        pending.clear();
        for (size_t i = 0; i < calls; ++i)
            for (auto& handler : errorHandlers)
                handler("the connection broke");
    }

    std::vector<ipc::Callback<void()>> pending;
    std::vector<std::function<void(const std::string&)>> errorHandlers;
    std::vector<Bytes> ingested;
    std::vector<std::vector<int64_t>> forwarded;
    size_t maxInFlight = 0;

private:
    HostID host_ = newHostID();
};

class TarvelXPCTest : public testing::Test, protected test::ServiceCoreParts {
protected:
    // A host whose connection is known to the registry, as after acceptance.
    std::unique_ptr<Tarvel_XPC> accept() {
        auto host =
            std::make_unique<Tarvel_XPC>(HostParts{loop.get_executor(), core, relay, transfers,
                                                   usbMux, services, "/nonexistent/Info.plist"});
        core.addPending(std::make_shared<NoProxyConnection>(host->id()));
        return host;
    }
    void run() {
        loop.restart();
        loop.run();
    }

    log::ScopedMemorySink log;
    FakeClock clock;
    test::RecordingPushActions actions;
    TunnelRelayBridge relay{
        loop.get_executor(),
        engine,
        core,
        clock,
        actions,
        [](uint16_t) -> asio::awaitable<std::shared_ptr<TunnelTransport>> { co_return nullptr; }};
    TransferCoordinator transfers{loop.get_executor(), core, relay, clock};
    RecordingServices services;
};

TEST_F(TarvelXPCTest, DataMethodsAreOnlyForTheExtensionAndTheDesktopApp) {
    auto stranger = accept();
    auto phoneLink = accept();
    auto extension = accept();
    Answer registered;
    phoneLink->registerClient(2, replyInto<bool>(registered));
    extension->registerClient(0, replyInto<bool>(registered));

    for (auto* host : {stranger.get(), phoneLink.get()}) {
        Answer relayed, fileIO;
        host->relayToUsbMux(2, {}, replyInto<Bytes, int64_t, int64_t>(relayed));
        host->requestFileIO(0, {}, replyInto<Bytes, int64_t>(fileIO));
        run();
        EXPECT_EQ(relayed.values, (ipc::Values{Bytes{}, int64_t{1}, int64_t{0}}));
        EXPECT_EQ(fileIO.values, (ipc::Values{Bytes{}, int64_t{1}}));
    }
    Answer relayed, fileIO;
    extension->relayToUsbMux(2, {}, replyInto<Bytes, int64_t, int64_t>(relayed));
    extension->requestFileIO(0, {}, replyInto<Bytes, int64_t>(fileIO));
    run();
    // Past the access rule: no phone is attached.
    EXPECT_EQ(relayed.values, (ipc::Values{Bytes{}, int64_t{3}, int64_t{0}}));
    EXPECT_EQ(fileIO.values, (ipc::Values{Bytes{}, int64_t{3}})); // an empty request
}

TEST_F(TarvelXPCTest, ShutdownWithNothingMountedTellsThePhoneWhenOneIsAttached) {
    auto host = accept();
    Answer answer;
    host->shutdown(replyInto<bool>(answer));
    run();
    EXPECT_EQ(answer.values, (ipc::Values{true}));
    EXPECT_TRUE(log->contains("shutdown — already unmounted"));
    EXPECT_EQ(services.notices, 0); // no phone: nothing is sent
    EXPECT_EQ(services.unmountedCalls, 1);

    core.handleDeviceEvent({1, "PHONE"});
    host->filesystemDidUnmount();
    run();
    services.phoneAnswers = false;
    host->filesystemDidUnmount();
    run();
    EXPECT_EQ(services.notices, 2);
    EXPECT_EQ(services.unmountedCalls, 3);
    EXPECT_TRUE(log->contains("filesystemUnmounted — iOS notified"));
    EXPECT_TRUE(log->contains("filesystemUnmounted — iOS notify skipped/failed"));
}

TEST_F(TarvelXPCTest, AnswersWithoutRegistration) {
    auto host = accept();
    Answer version, echo, ingest, ping;
    host->getXPCServiceVersion(replyInto<int64_t>(version));
    host->echo(replyInto<>(echo));
    host->benchmarkIngest(Bytes(1234), replyInto<uint64_t>(ingest));
    host->ping(1, replyInto<bool>(ping));
    EXPECT_EQ(version.values, (ipc::Values{int64_t{0}})); // no information dictionary
    EXPECT_EQ(echo.values, ipc::Values{});
    EXPECT_EQ(ingest.values, (ipc::Values{uint64_t{1234}}));
    EXPECT_EQ(ping.values, (ipc::Values{false}));
}

TEST_F(TarvelXPCTest, ShutdownReportsTheForcedUnmountAndAlwaysNotifies) {
    auto host = accept();
    core.handleDeviceEvent({1, "PHONE"});
    services.unmountFailure.reset();
    Answer unmounted;
    host->shutdown(replyInto<bool>(unmounted));
    run();
    EXPECT_EQ(unmounted.values, (ipc::Values{true}));
    EXPECT_TRUE(log->contains("shutdown — force unmount ok"));

    services.unmountFailure =
        MountServiceError(MountServiceErrorKind::commandFailed, "umount: target is busy");
    Answer failed;
    host->shutdown(replyInto<bool>(failed));
    run();
    EXPECT_EQ(failed.values, (ipc::Values{false}));
    EXPECT_TRUE(log->contains("shutdown — unmount failed: umount: target is busy"));
    EXPECT_EQ(services.forcedUnmounts, 2);
    EXPECT_EQ(services.notices, 2);
    EXPECT_EQ(services.unmountedCalls, 2);
}

// The connection, and with it its host object, may be gone before a task the host started has
// run or finished: the tasks must not need the host.
TEST_F(TarvelXPCTest, TasksFinishAfterTheirHostIsGone) {
    core.handleDeviceEvent({1, "PHONE"});
    Answer shutdown, relayed, fileIO, speedTest;
    {
        auto host = accept();
        Answer registered;
        host->registerClient(0, replyInto<bool>(registered));
        host->shutdown(replyInto<bool>(shutdown));
        host->filesystemDidUnmount();
        host->relayToUsbMux(0, {}, replyInto<Bytes, int64_t, int64_t>(relayed));
        host->requestFileIO(0, {}, replyInto<Bytes, int64_t>(fileIO));
        host->runUsbMuxSpeedTest(replyInto<bool, std::string>(speedTest));
    }
    run();
    EXPECT_EQ(shutdown.values, (ipc::Values{true}));
    EXPECT_EQ(services.notices, 2);
    EXPECT_EQ(services.unmountedCalls, 2);
    // Both ran as the registered extension's: no tunnel could be made, the request was empty.
    EXPECT_EQ(relayed.values, (ipc::Values{Bytes{}, int64_t{4}, int64_t{0}}));
    EXPECT_EQ(fileIO.values, (ipc::Values{Bytes{}, int64_t{3}}));
    ASSERT_TRUE(speedTest.values);
    EXPECT_EQ((*speedTest.values)[0], ipc::Value{false});
}

// A role the registry keeps for a closed connection (iOS, unknown roles) belongs to that
// connection alone, even when a new host object is built where the old one lived.
TEST_F(TarvelXPCTest, ANewConnectionNeverInheritsAClosedOnesRole) {
    HostParts parts{loop.get_executor(),      core, relay, transfers, usbMux, services,
                    "/nonexistent/Info.plist"};
    alignas(Tarvel_XPC) std::byte storage[sizeof(Tarvel_XPC)];
    auto* closed = new (storage) Tarvel_XPC(parts);
    core.addPending(std::make_shared<NoProxyConnection>(closed->id()));
    Answer registered;
    closed->registerClient(2, replyInto<bool>(registered));
    ASSERT_EQ(core.role(closed->id()), 2);
    closed->~Tarvel_XPC(); // its connection closed; the iOS entry stays

    auto* next = new (storage) Tarvel_XPC(parts);
    core.addPending(std::make_shared<NoProxyConnection>(next->id()));
    EXPECT_FALSE(core.role(next->id()));
    Answer relayed;
    next->relayToUsbMux(0, {}, replyInto<Bytes, int64_t, int64_t>(relayed));
    run();
    EXPECT_EQ(relayed.values, (ipc::Values{Bytes{}, int64_t{1}, int64_t{0}}));
    next->~Tarvel_XPC();
}

class DiagnosticsTest : public TarvelXPCTest {
protected:
    DiagnosticsTest() {
        core.addPending(extension);
        core.registerClient(extension->exportedObject(), 0);
        Answer registered;
        app->registerClient(1, replyInto<bool>(registered));
        run();
    }
    std::shared_ptr<ScriptedClient> extension = std::make_shared<ScriptedClient>();
    std::unique_ptr<Tarvel_XPC> app = accept();
};

TEST_F(DiagnosticsTest, PingReachesOtherRolesOnlyThroughTheirEcho) {
    auto stranger = accept();
    Answer unregistered, own, absent, reached, broken;
    stranger->ping(0, replyInto<bool>(unregistered));
    app->ping(1, replyInto<bool>(own));
    app->ping(2, replyInto<bool>(absent));
    EXPECT_EQ(unregistered.values, (ipc::Values{false}));
    EXPECT_EQ(own.values, (ipc::Values{true}));
    EXPECT_EQ(absent.values, (ipc::Values{false}));
    EXPECT_TRUE(extension->pending.empty()); // none of these asked the extension

    app->ping(0, replyInto<bool>(reached));
    EXPECT_FALSE(reached.values);
    ASSERT_TRUE(extension->answerOne());
    EXPECT_EQ(reached.values, (ipc::Values{true}));

    app->ping(0, replyInto<bool>(broken));
    extension->breakConnection();
    EXPECT_EQ(broken.values, (ipc::Values{false}));
    EXPECT_FALSE(broken.abandoned);
    EXPECT_TRUE(log->contains("client proxy error (0): the connection broke"));
}

TEST_F(DiagnosticsTest, HostToExtensionSendsOneChunkAtATime) {
    Answer none;
    app->requestHostToExtThroughput(1024, 0, replyInto<double>(none));
    ASSERT_TRUE(none.values);
    EXPECT_GE(std::get<double>((*none.values)[0]), 0.0);
    EXPECT_TRUE(extension->ingested.empty());

    Answer three;
    app->requestHostToExtThroughput(1000, 3, replyInto<double>(three));
    for (int answered = 0; answered < 3; ++answered) {
        EXPECT_FALSE(three.values) << "replied after " << answered << " chunks";
        ASSERT_TRUE(extension->answerOne());
    }
    ASSERT_TRUE(three.values);
    EXPECT_GE(std::get<double>((*three.values)[0]), 0.0);
    EXPECT_EQ(extension->maxInFlight, 1u);
    ASSERT_EQ(extension->ingested.size(), 3u);
    for (const auto& chunk : extension->ingested)
        EXPECT_EQ(chunk, Bytes(1000, 0xCD));

    Answer huge;
    app->requestHostToExtThroughput(UINT64_MAX, 1, replyInto<double>(huge));
    EXPECT_EQ(huge.values, (ipc::Values{-1.0}));
    EXPECT_EQ(extension->ingested.size(), 3u);

    Answer broken;
    app->requestHostToExtThroughput(10, 5, replyInto<double>(broken));
    ASSERT_TRUE(extension->answerOne());
    extension->breakConnection();
    EXPECT_EQ(broken.values, (ipc::Values{-1.0}));
}

TEST_F(DiagnosticsTest, ExtensionMeasurementsAreForwardedAndAnsweredOnce) {
    Answer ping, chunks, broken;
    app->requestExtToHostPing(7, replyInto<double>(ping));
    app->requestExtToHostThroughput(4096, 5, replyInto<double>(chunks));
    EXPECT_EQ(extension->forwarded, (std::vector<std::vector<int64_t>>{{7}, {4096, 5}}));
    ASSERT_TRUE(extension->answerOne());
    ASSERT_TRUE(extension->answerOne());
    EXPECT_EQ(ping.values, (ipc::Values{0.07}));
    EXPECT_EQ(chunks.values, (ipc::Values{1.5}));

    app->requestExtToHostPing(1, replyInto<double>(broken));
    extension->breakConnection();
    EXPECT_EQ(broken.values, (ipc::Values{-1.0}));

    // Without an extension there is nobody to measure.
    core.connectionClosed(extension.get());
    Answer alone;
    app->requestExtToHostThroughput(1, 1, replyInto<double>(alone));
    EXPECT_EQ(alone.values, (ipc::Values{-1.0}));
}

} // namespace
} // namespace brimo
