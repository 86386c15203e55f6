#include "service/tunnel/TunnelEngine.h"
#include "service/tunnel/StreamSocketTransport.h"
#include "tests/common/RunAsync.h"

#include <asio/detached.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

namespace brimo {
namespace {

using test::runAsync;
using test::runUntil;
using Socket = asio::local::stream_protocol::socket;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Two engines on one loop, joined by a socket pair: the client plays the service, the server
// plays the phone. Or the client alone, with the test writing raw bytes as the phone.
class TunnelEngineTest : public testing::Test {
protected:
    void connectEngines(TunnelEngine::RequestHandler handler) {
        auto [a, b] = socketPair();
        bindClient(std::move(a));
        server.bind(std::make_shared<StreamSocketTransport>(std::move(b)),
                    TunnelEndpointRole::server, "phone", std::move(handler), nullptr);
        server.startReading();
    }

    void connectRawPhone() {
        auto [a, b] = socketPair();
        bindClient(std::move(a));
        phone.emplace(std::move(b));
    }

    // Starts a request in the background; its outcome lands in `outcomes[slot]`.
    void startRequest(size_t slot, uint16_t code, Bytes payload) {
        outcomes.resize(std::max(outcomes.size(), slot + 1));
        asio::co_spawn(
            loop,
            [this, slot, code, payload = std::move(payload)]() mutable -> asio::awaitable<void> {
                try {
                    outcomes[slot] = co_await client.request(code, std::move(payload));
                } catch (const TunnelEngineFailure& failure) {
                    outcomes[slot] = failure.error();
                }
            },
            asio::detached);
    }

    bool settled(size_t slot) const {
        return slot < outcomes.size() && outcomes[slot].index() != 0;
    }

    TunnelEngineError errorOf(size_t slot) {
        EXPECT_TRUE(runUntil(loop, [&] { return settled(slot); }));
        auto* error = std::get_if<TunnelEngineError>(&outcomes[slot]);
        return error ? *error : TunnelEngineError::notStarted;
    }

    TunnelMessage responseOf(size_t slot) {
        EXPECT_TRUE(runUntil(loop, [&] { return settled(slot); }));
        auto* response = std::get_if<TunnelMessage>(&outcomes[slot]);
        return response ? *response : TunnelMessage{0xFFFF, {}};
    }

    void phoneWrite(const Bytes& bytes) { asio::write(*phone, asio::buffer(bytes)); }

    Bytes phoneRead(size_t count) {
        Bytes bytes(count);
        runAsync(loop, [&]() -> asio::awaitable<void> {
            co_await asio::async_read(*phone, asio::buffer(bytes), asio::use_awaitable);
        }());
        return bytes;
    }

    // The next request frame the client sent: header fields and payload.
    std::pair<TunnelFrameHeader, Bytes> phoneReadFrame() {
        auto header = decodeTunnelFrameHeader(phoneRead(kTunnelHeaderSize));
        EXPECT_TRUE(header);
        return {*header, phoneRead(header->length)};
    }

    void phoneRespond(uint32_t flowID, uint16_t code, const Bytes& payload = {}) {
        phoneWrite(*encodeTunnelFrame(TunnelFrameKind::response, code, flowID, payload));
    }

    asio::io_context loop;
    TunnelEngine client{loop.get_executor()};
    TunnelEngine server{loop.get_executor()};
    std::optional<Socket> phone;
    std::vector<std::variant<std::monostate, TunnelMessage, TunnelEngineError>> outcomes;
    std::vector<TunnelMessage> notifications;

private:
    std::pair<Socket, Socket> socketPair() {
        Socket a(loop), b(loop);
        asio::local::connect_pair(a, b);
        return {std::move(a), std::move(b)};
    }

    void bindClient(Socket socket) {
        client.bind(std::make_shared<StreamSocketTransport>(std::move(socket)),
                    TunnelEndpointRole::client, "relay:33325", nullptr,
                    [this](uint16_t code, const Bytes& payload) {
                        notifications.push_back({code, payload});
                    });
        client.startReading();
    }
};

TEST_F(TunnelEngineTest, ConcurrentRequestsAreMatchedToTheirResponsesByFlowId) {
    // The phone answers later requests first: each waiter must still get its own answer.
    connectEngines([this](uint16_t code, Bytes payload) -> asio::awaitable<TunnelMessage> {
        asio::steady_timer delay(loop, std::chrono::milliseconds(50 - code * 5));
        co_await delay.async_wait(asio::use_awaitable);
        payload.push_back(static_cast<uint8_t>(code));
        co_return TunnelMessage{static_cast<uint16_t>(code + 100), std::move(payload)};
    });
    for (uint16_t i = 0; i < 8; ++i)
        startRequest(i, i, text("req" + std::to_string(i)));
    for (uint16_t i = 0; i < 8; ++i) {
        const auto response = responseOf(i);
        EXPECT_EQ(response.code, i + 100);
        Bytes expected = text("req" + std::to_string(i));
        expected.push_back(static_cast<uint8_t>(i));
        EXPECT_EQ(response.payload, expected);
    }
    EXPECT_EQ(client.pendingCount(), 0u);
}

TEST_F(TunnelEngineTest, LargestPayloadCrossesBothWaysAndOneByteMoreIsRefusedBeforeSending) {
    connectEngines([](uint16_t, Bytes payload) -> asio::awaitable<TunnelMessage> {
        std::reverse(payload.begin(), payload.end());
        co_return TunnelMessage{0, std::move(payload)};
    });
    Bytes big(kTunnelMaxPayload);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i % 253);
    startRequest(0, 9, big);
    std::reverse(big.begin(), big.end());
    EXPECT_TRUE(responseOf(0).payload == big);

    startRequest(1, 9, Bytes(kTunnelMaxPayload + 1));
    EXPECT_EQ(errorOf(1), TunnelEngineError::payloadTooLarge);
    // The binding is unharmed.
    startRequest(2, 0, {});
    EXPECT_EQ(responseOf(2).code, 0);
}

TEST_F(TunnelEngineTest, ServerWithoutHandlerAnswersCodeOneAndNotifiesBetweenResponses) {
    connectEngines(nullptr);
    startRequest(0, 2, text("{}"));
    const auto response = responseOf(0);
    EXPECT_EQ(response.code, 1);
    EXPECT_TRUE(response.payload.empty());

    server.enqueueNotification(4, text("{\"action\":\"mount\"}"));
    server.enqueueNotification(0, {});
    ASSERT_TRUE(runUntil(loop, [&] { return notifications.size() == 2; }));
    EXPECT_EQ(notifications[0].code, 4);
    EXPECT_EQ(notifications[0].payload, text("{\"action\":\"mount\"}"));
    // A zero-length frame is handled and the stream stays in step.
    EXPECT_EQ(notifications[1].code, 0);
    EXPECT_TRUE(notifications[1].payload.empty());
    startRequest(1, 0, {});
    EXPECT_EQ(responseOf(1).code, 1);
}

TEST_F(TunnelEngineTest, NotificationQueuedDuringARequestFollowsItsResponse) {
    bool released = false;
    connectEngines([&](uint16_t, Bytes) -> asio::awaitable<TunnelMessage> {
        while (!released) {
            asio::steady_timer tick(loop, std::chrono::milliseconds(5));
            co_await tick.async_wait(asio::use_awaitable);
        }
        co_return TunnelMessage{0, text("answer")};
    });
    startRequest(0, 2, {});
    ASSERT_TRUE(runUntil(loop, [&] { return client.pendingCount() == 1; }));
    loop.restart();
    loop.run_for(std::chrono::milliseconds(30)); // the server is now inside its handler
    server.enqueueNotification(3, text("{\"relayID\":\"a\"}"));
    loop.restart();
    loop.run_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(notifications.empty()); // held back while a request is being answered
    released = true;
    EXPECT_EQ(responseOf(0).payload, text("answer"));
    ASSERT_TRUE(runUntil(loop, [&] { return notifications.size() == 1; }));
    EXPECT_EQ(notifications[0].code, 3);
}

TEST_F(TunnelEngineTest, FlowIdsWrapToOneAndNeverUseZero) {
    connectRawPhone();
    client.setNextFlowID(UINT32_MAX);
    startRequest(0, 0, {});
    startRequest(1, 0, {});
    const auto [first, p1] = phoneReadFrame();
    const auto [second, p2] = phoneReadFrame();
    EXPECT_EQ(first.flowID, UINT32_MAX);
    EXPECT_EQ(second.flowID, 1u);
    EXPECT_EQ(first.kind, 1);
    phoneRespond(second.flowID, 0, text("two"));
    phoneRespond(first.flowID, 6, text("one"));
    EXPECT_EQ(responseOf(0).code, 6);
    EXPECT_EQ(responseOf(1).payload, text("two"));
    EXPECT_EQ(client.nextFlowID(), 2u);
}

TEST_F(TunnelEngineTest, ResponseForAnUnknownFlowFailsEveryWaiterAndEndsTheBinding) {
    connectRawPhone();
    startRequest(0, 0, {});
    startRequest(1, 2, {});
    phoneReadFrame();
    phoneReadFrame();
    phoneRespond(777, 0);
    EXPECT_EQ(errorOf(0), TunnelEngineError::disconnected);
    EXPECT_EQ(errorOf(1), TunnelEngineError::disconnected);
    ASSERT_TRUE(runUntil(loop, [&] { return !client.isBound(); }));
    EXPECT_FALSE(client.tunnelKey());
    startRequest(2, 0, {});
    EXPECT_EQ(errorOf(2), TunnelEngineError::notBound);
}

// Each malformed or misplaced frame ends the binding with every waiter disconnected.
TEST_F(TunnelEngineTest, BadFramesEndTheBinding) {
    auto frameWith = [](uint8_t kind, uint32_t length) {
        Bytes raw = *encodeTunnelFrame(TunnelFrameKind::response, 0, 1, {});
        raw[4] = kind;
        for (int i = 0; i < 4; ++i)
            raw[12 + i] = static_cast<uint8_t>(length >> (8 * i));
        return raw;
    };
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"kind 0", frameWith(0, 0)},
        {"kind 6", frameWith(6, 0)},
        {"kind 4", frameWith(4, 0)},
        {"kind 5", frameWith(5, 0)},
        {"request to a client", frameWith(1, 0)},
        {"length over 5 MiB", frameWith(2, kTunnelMaxPayload + 1)},
        {"bad magic", text("XXXX0000000000000")},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        outcomes.clear();
        connectRawPhone();
        startRequest(0, 0, {});
        phoneReadFrame();
        phoneWrite(bytes);
        EXPECT_EQ(errorOf(0), TunnelEngineError::disconnected);
        EXPECT_TRUE(runUntil(loop, [&] { return !client.isBound(); }));
    }
}

TEST_F(TunnelEngineTest, StopFailsWaitersAndALaterBindingIsNotDisturbedByTheOldOne) {
    connectRawPhone();
    startRequest(0, 0, {});
    startRequest(1, 0, {});
    phoneReadFrame();
    runAsync(loop, client.stop());
    EXPECT_EQ(errorOf(0), TunnelEngineError::disconnected);
    EXPECT_EQ(errorOf(1), TunnelEngineError::disconnected);
    EXPECT_FALSE(client.isBound());
    EXPECT_FALSE(client.role());
    runAsync(loop, client.stop()); // unbound: only resets fields

    // The old stream's read loop wakes up failing; it must not tear down the new binding.
    std::optional<Socket> oldPhone = std::move(phone);
    connectRawPhone();
    oldPhone->close();
    loop.restart();
    loop.run_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(client.isBound());
    startRequest(2, 0, {});
    const auto [header, payload] = phoneReadFrame();
    phoneRespond(header.flowID, 0, text("ok"));
    EXPECT_EQ(responseOf(2).payload, text("ok"));
}

TEST_F(TunnelEngineTest, RequestNeedsAClientBindingAndADeadStreamFailsTheSend) {
    startRequest(0, 0, {});
    EXPECT_EQ(errorOf(0), TunnelEngineError::notBound);
    connectEngines(nullptr);
    // The server role cannot send requests.
    outcomes.clear();
    asio::co_spawn(
        loop,
        [this]() -> asio::awaitable<void> {
            try {
                co_await server.request(0, {});
                outcomes.emplace_back(TunnelMessage{});
            } catch (const TunnelEngineFailure& failure) {
                outcomes.emplace_back(failure.error());
            }
        },
        asio::detached);
    EXPECT_EQ(errorOf(0), TunnelEngineError::notBound);

    runAsync(loop, server.stop());
    // The client's read loop sees the end of the stream and fails everything.
    startRequest(1, 0, {});
    EXPECT_EQ(errorOf(1), TunnelEngineError::disconnected);
    ASSERT_TRUE(runUntil(loop, [&] { return !client.isBound(); }));
}

} // namespace
} // namespace brimo
