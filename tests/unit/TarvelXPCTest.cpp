#include "service/TarvelXPC.h"
#include "service/BridgeCore.h"
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
    explicit NoProxyConnection(const void* host)
        : host(host) {}
    const void* exportedObject() const override { return host; }
    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)>) override {
        return nullptr;
    }
    const void* host;
};

struct RecordingServices : HostServices {
    asio::awaitable<bool> notifyPhoneOfUnmount() override {
        ++notices;
        co_return phoneAnswers;
    }
    void volumeUnmounted() override { ++unmountedCalls; }
    bool phoneAnswers = true;
    int notices = 0;
    int unmountedCalls = 0;
};

class TarvelXPCTest : public testing::Test, protected test::ServiceCoreParts {
protected:
    // A host whose connection is known to the registry, as after acceptance.
    std::unique_ptr<Tarvel_XPC> accept() {
        auto host = std::make_unique<Tarvel_XPC>(loop.get_executor(), core, relay, transfers,
                                                 services, "/nonexistent/Info.plist");
        core.addPending(std::make_shared<NoProxyConnection>(host.get()));
        return host;
    }
    void run() {
        loop.restart();
        loop.run();
    }

    log::ScopedMemorySink log;
    FakeClock clock;
    PhonePushActions actions;
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

} // namespace
} // namespace brimo
