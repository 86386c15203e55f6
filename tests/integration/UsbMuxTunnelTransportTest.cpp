#include "service/tunnel/UsbMuxTunnelTransport.h"
#include "tests/common/RunAsync.h"
#include "tests/support/SimProcess.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <gtest/gtest.h>

namespace brimo {
namespace {

using test::runAsync;
using test::runUntil;
using test::SimProcess;

constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class UsbMuxTunnelTransportTest : public testing::Test {
protected:
    explicit UsbMuxTunnelTransportTest(std::string linkRate = "")
        : sim(SimProcess::Options{{kPhone}, std::move(linkRate), ""})
        , address(sim.usbmuxdAddress()) {
        started = usbmux_mgr_start() != 0;
    }
    ~UsbMuxTunnelTransportTest() override {
        runAsync(loop, transport->close());
        transport.reset();
        usbmux_mgr_shutdown();
    }

    // Whether the operation threw TunnelTransportFailure(disconnected).
    bool disconnects(asio::awaitable<void> operation) {
        try {
            runAsync(loop, std::move(operation));
            return false;
        } catch (const TunnelTransportFailure& failure) {
            return failure.error() == TunnelTransportError::disconnected;
        }
    }

    SimProcess sim;
    test::UsbmuxdAddressGuard address;
    bool started = false;
    asio::io_context loop;
    std::unique_ptr<UsbMuxTunnelTransport> transport =
        std::make_unique<UsbMuxTunnelTransport>(tunnel_id{{}, 33325});
};

TEST_F(UsbMuxTunnelTransportTest, CarriesBytesToThePhoneAndBack) {
    ASSERT_TRUE(started);
    EXPECT_EQ(transport->sendQueueLabel(), "Ozm.Tarvel.usbmux-tunnel.33325.send");
    EXPECT_EQ(transport->recvQueueLabel(), "Ozm.Tarvel.usbmux-tunnel.33325.recv");
    EXPECT_TRUE(runAsync(loop, transport->receive(0)).empty());
    runAsync(loop, transport->send(text("PI"), text("NG\r\n")));
    EXPECT_EQ(runAsync(loop, transport->receive(6)), text("PONG\r\n"));
    runAsync(loop, transport->send({}, {}));
}

TEST_F(UsbMuxTunnelTransportTest, SendAfterTheDeviceIsGoneFailsWithoutBlocking) {
    ASSERT_TRUE(started);
    runAsync(loop, transport->send(text("PING\r\n"), {}));
    ASSERT_EQ(runAsync(loop, transport->receive(6)), text("PONG\r\n"));
    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    // Until the manager hears of the detach the old connection may still take a write; once it
    // has, every send fails at once.
    ASSERT_TRUE(runUntil(loop, [&] { return disconnects(transport->send(text("PING\r\n"), {})); }));
    EXPECT_TRUE(disconnects(transport->send(text("x"), {})));
    EXPECT_TRUE(disconnects([&]() -> asio::awaitable<void> { co_await transport->receive(1); }()));
}

TEST_F(UsbMuxTunnelTransportTest, ClosedTransportOpensNoFreshConnection) {
    ASSERT_TRUE(started);
    runAsync(loop, transport->send(text("PING\r\n"), {}));
    ASSERT_EQ(runAsync(loop, transport->receive(6)), text("PONG\r\n"));
    runAsync(loop, transport->close());
    EXPECT_TRUE(disconnects(transport->send(text("PING\r\n"), {})));
    EXPECT_NE(sim.control("stats").find("connects=1 "), std::string::npos);
}

class ThrottledTransport : public UsbMuxTunnelTransportTest {
protected:
    ThrottledTransport()
        : UsbMuxTunnelTransportTest("4M") {}
};

TEST_F(ThrottledTransport, CloseWaitsForTheSendQueuedBeforeIt) {
    ASSERT_TRUE(started);
    // About half a second on the wire at 4 MB/s.
    const size_t bytes = 2'000'000;
    Bytes burst = text("BW:DOWN:" + std::to_string(bytes) + "\r\n");
    burst.resize(burst.size() + bytes, 0xA5);
    std::vector<std::string> finished;
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            co_await transport->send(std::move(burst), {});
            finished.push_back("send");
        },
        asio::detached);
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            co_await transport->close();
            finished.push_back("close");
        },
        asio::detached);
    ASSERT_TRUE(runUntil(loop, [&] { return finished.size() == 2; }));
    EXPECT_EQ(finished, (std::vector<std::string>{"send", "close"}));
}

} // namespace
} // namespace brimo
