#include "service/TunnelRelayBridge.h"
#include "service/BridgeCore.h"
#include "service/tunnel/StreamSocketTransport.h"
#include "tests/common/RunAsync.h"
#include "tests/common/ServiceCoreParts.h"
#include "tests/common/SocketPairPhones.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/local/connect_pair.hpp>
#include <gtest/gtest.h>

namespace brimo {
namespace {

using namespace std::chrono_literals;
using Reply = TunnelRelayBridge::RelayReply;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The relay against phones played by server-role engines over socket pairs.
class TunnelRelayBridgeTest : public testing::Test, protected test::ServiceCoreParts {
protected:
    TunnelRelayBridgeTest() {
        core.addPending(client);
        core.registerClient(client->exportedObject(), 0);
        core.handleDeviceEvent({1, "PHONE"});
        loop.poll();
        client->received.clear();
    }

    // By default the phone answers with the request code as its status, echoing the payload.
    std::function<asio::awaitable<TunnelMessage>(int, uint16_t, Bytes)> phoneAnswers =
        [](int, uint16_t code, Bytes payload) -> asio::awaitable<TunnelMessage> {
        co_return TunnelMessage{code, std::move(payload)};
    };

    Reply relay(int64_t code, Bytes param, HostID host = 0) {
        return test::runAsync(loop, bridge.relayToUsbMux(host ? host : client->exportedObject(),
                                                         code, std::move(param)));
    }

    FakeClock clock;
    test::RecordingPushActions actions;
    std::shared_ptr<test::RecordingClient> client = std::make_shared<test::RecordingClient>();
    test::SocketPairPhones phones{loop, [this](int connection, uint16_t code, Bytes payload) {
                                      return phoneAnswers(connection, code, std::move(payload));
                                  }};
    TunnelRelayBridge bridge{loop.get_executor(), engine, core, clock, actions, phones.factory()};
};

TEST_F(TunnelRelayBridgeTest, RelaysAndMapsThePhonesStatus) {
    EXPECT_FALSE(bridge.lastIOSContact());
    EXPECT_EQ(relay(0, text("{}")), (Reply{text("{}"), 0, 0}));
    EXPECT_TRUE(bridge.lastIOSContact());
    EXPECT_EQ(relay(3, text("x")), (Reply{text("x"), 9, 3}));
    EXPECT_EQ(relay(12, {}), (Reply{{}, 9, 5}));
    const Bytes largest(kTunnelMaxPayload, 'j');
    EXPECT_EQ(std::get<1>(relay(2, largest)), 9);
    EXPECT_EQ(relay(2, Bytes(kTunnelMaxPayload + 1)), (Reply{{}, 7, 0}));
    EXPECT_EQ(phones.opens, 1); // one binding served them all
    EXPECT_EQ(engine.tunnelKey(), "relay:33325");
}

TEST_F(TunnelRelayBridgeTest, RefusesStrangersAndWorksOnlyWithAPhone) {
    const HostID stranger = newHostID();
    EXPECT_EQ(relay(0, {}, stranger), (Reply{{}, 1, 0}));
    EXPECT_EQ(relay(70000, {}), (Reply{{}, 2, 0}));
    EXPECT_EQ(relay(-1, {}), (Reply{{}, 2, 0}));
    core.handleDeviceEvent({2, "PHONE"});
    EXPECT_EQ(relay(0, {}), (Reply{{}, 3, 0}));
    EXPECT_EQ(phones.opens, 0);
    core.handleDeviceEvent({1, "PHONE"});
    phones.refuse = true;
    EXPECT_EQ(relay(0, {}), (Reply{{}, 4, 0}));
    EXPECT_EQ(phones.opens, 2); // the first attempt and its one retry
}

TEST_F(TunnelRelayBridgeTest, ABrokenFirstExchangeIsRetriedOnceOnAFreshConnection) {
    phoneAnswers = [this](int connection, uint16_t code,
                          Bytes payload) -> asio::awaitable<TunnelMessage> {
        if (connection == 1)
            co_await phones.phones[0]
                ->stop(); // the first phone drops the stream instead of answering
        co_return TunnelMessage{code, std::move(payload)};
    };
    EXPECT_EQ(relay(0, text("again")), (Reply{text("again"), 0, 0}));
    EXPECT_EQ(phones.opens, 2);
}

TEST_F(TunnelRelayBridgeTest, AnyOtherFailureOnTheWayAnswersTunnelIOFailed) {
    TunnelRelayBridge starved{loop.get_executor(),
                              engine,
                              core,
                              clock,
                              actions,
                              [](uint16_t) -> asio::awaitable<std::shared_ptr<TunnelTransport>> {
                                  throw std::system_error(EMFILE, std::generic_category());
                                  co_return nullptr;
                              }};
    EXPECT_EQ(test::runAsync(loop, starved.relayToUsbMux(client->exportedObject(), 2, text("{}"))),
              (Reply{{}, 8, 0}));
}

TEST_F(TunnelRelayBridgeTest, PhonePushesAreForwardedOrActedOn) {
    relay(0, {}); // binds the engine
    auto& phone = *phones.phones.at(0);
    const auto before = *bridge.lastIOSContact();
    clock.advance(1s);
    phone.enqueueNotification(1, text("nobody"));
    ASSERT_TRUE(test::runUntil(loop, [&] { return *bridge.lastIOSContact() > before; }));
    for (uint16_t code : {0, 2, 3, 4})
        phone.enqueueNotification(code, text(std::to_string(code).insert(0, 1, 'n')));
    ASSERT_TRUE(test::runUntil(loop, [&] { return actions.mounts.size() == 1; }));
    ASSERT_EQ(client->received.size(), 3u);
    EXPECT_EQ(client->received[0].code, 0);
    EXPECT_EQ(client->received[1].code, 2);
    EXPECT_EQ(client->received[2].code, 3);
    EXPECT_EQ(actions.mounts[0], text("n4"));
    // The item-mutation poke follows 30 ms after the forward.
    EXPECT_TRUE(actions.pokes.empty());
    clock.advance(30ms);
    ASSERT_TRUE(test::runUntil(loop, [&] { return actions.pokes.size() == 1; }));
    EXPECT_EQ(actions.pokes[0], text("n3"));
}

TEST_F(TunnelRelayBridgeTest, ASpeedTestHoldKeepsRequestsAndResetsOffThePort) {
    EXPECT_EQ(relay(0, {}), (Reply{{}, 0, 0}));
    ASSERT_EQ(phones.opens, 1);

    std::optional<TunnelRelayBridge::LinkHold> hold;
    asio::co_spawn(
        loop, [&]() -> asio::awaitable<void> { hold.emplace(co_await bridge.holdLink()); },
        asio::detached);
    ASSERT_TRUE(test::runUntil(loop, [&] { return hold.has_value(); }));
    EXPECT_FALSE(engine.isBound()); // the test gets the port to itself

    std::optional<Reply> held;
    bool reset = false;
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            held = co_await bridge.relayToUsbMux(client->exportedObject(), 5, text("late"));
        },
        asio::detached);
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            co_await bridge.resetTunnel();
            reset = true;
        },
        asio::detached);
    test::runUntil(
        loop, [] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(held);
    EXPECT_FALSE(reset);
    EXPECT_EQ(phones.opens, 1);

    hold.reset();
    ASSERT_TRUE(test::runUntil(loop, [&] { return held && reset; }));
    EXPECT_EQ(*held, (Reply{text("late"), 9, 5}));
}

TEST_F(TunnelRelayBridgeTest, RequestsThatFindTheEngineUnboundTogetherBindItOnce) {
    std::vector<Reply> replies;
    for (int i = 0; i < 3; ++i)
        asio::co_spawn(
            loop,
            [&, i]() -> asio::awaitable<void> {
                replies.push_back(co_await bridge.relayToUsbMux(client->exportedObject(), i,
                                                                text(std::to_string(i))));
            },
            asio::detached);
    ASSERT_TRUE(test::runUntil(loop, [&] { return replies.size() == 3; }));
    EXPECT_EQ(phones.opens, 1);
    for (const auto& reply : replies)
        EXPECT_NE(std::get<1>(reply), 8) << "an exchange broke on a replaced binding";
}

} // namespace
} // namespace brimo