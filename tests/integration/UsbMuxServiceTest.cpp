#include "service/tunnel/UsbMuxService.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "tests/common/RunAsync.h"
#include "tests/support/SimProcess.h"

#include <gtest/gtest.h>
#include <thread>

namespace brimo {
namespace {

using test::runAsync;
using test::runUntil;
using test::SimProcess;
using test::UsbmuxdAddressGuard;
using Error = UsbMuxService::Error;

constexpr const char* kPhone = "00008030-001A2B3C4D5E6F70";
constexpr uint16_t kPort = 33325;

class UsbMuxServiceTest : public testing::Test {
protected:
    UsbMuxServiceTest()
        : sim(SimProcess::Options{{kPhone}, "", ""})
        , address(sim.usbmuxdAddress()) {}
    ~UsbMuxServiceTest() override { runAsync(loop, service.shutdown()); }

    // Runs a round and returns the error it failed with, or nothing on success.
    std::optional<Error> roundError(uint64_t bytes) {
        try {
            runAsync(loop, service.runSpeedTestRound(kPort, bytes));
            return std::nullopt;
        } catch (const UsbMuxService::Failure& failure) {
            return failure.error();
        }
    }

    // Faults that act on new connections need the manager to reconnect.
    static void dropConnection() {
        tunnel_id tunnel{};
        tunnel.port = kPort;
        usbmux_mgr_invalidate_tunnel(&tunnel);
    }

    SimProcess sim;
    UsbmuxdAddressGuard address;
    asio::io_context loop;
    UsbMuxService service{loop.get_executor()};
};

TEST_F(UsbMuxServiceTest, RoundBeforeStartFailsAndStartTwiceSubscribesOnce) {
    EXPECT_EQ(roundError(0), Error::notStarted);
    runAsync(loop, service.start());
    runAsync(loop, service.start());
    ASSERT_TRUE(test::waitUntil(
        [&] { return sim.control("stats").find("listens=1") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(sim.control("stats").find("listens=1 "), std::string::npos);
}

TEST_F(UsbMuxServiceTest, RoundMeasuresAllThreePhasesOnOneConnection) {
    runAsync(loop, service.start());
    testing::internal::CaptureStdout();
    const auto round = runAsync(loop, service.runSpeedTestRound(kPort, 3 * 1024 * 1024 + 5));
    const auto empty = runAsync(loop, service.runSpeedTestRound(kPort, 0));
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(round.deviceUDID, kPhone);
    EXPECT_GT(round.pingMs, 0);
    EXPECT_EQ(round.download.bytes, 3u * 1024 * 1024 + 5);
    EXPECT_EQ(round.upload.bytes, 3u * 1024 * 1024 + 5);
    EXPECT_GT(round.download.seconds, 0);
    EXPECT_GT(round.upload.mibPerSecond(), 0);
    // Payload 0: only the headers go out, and the rates are 0.
    EXPECT_EQ(empty.download.bytes, 0u);
    EXPECT_EQ(empty.upload.mibPerSecond(), 0);
    EXPECT_EQ(empty.download.mbitPerSecond(), 0);
    EXPECT_NE(out.find("字节数: 0 用时: "), std::string::npos) << out;
    EXPECT_NE(sim.control("stats").find("connects=1 "), std::string::npos);
}

TEST_F(UsbMuxServiceTest, FailuresMapToTheirErrors) {
    runAsync(loop, service.start());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " pong PONG\\r\\r"), "OK");
    EXPECT_EQ(roundError(1024), std::nullopt);

    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " ack BW:DOWN:ERR"), "OK");
    EXPECT_EQ(roundError(1024), Error::downloadFailed);

    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " cut 2000"), "OK");
    dropConnection();
    EXPECT_EQ(roundError(4096), Error::uploadFailed);

    // A phone that refuses the port leaves no connection: that is "no devices".
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " clear"), "OK");
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " refuse on"), "OK");
    dropConnection();
    EXPECT_EQ(roundError(0), Error::noDevices);

    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    EXPECT_EQ(roundError(0), Error::noDevices);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("意外 ACK: BW:DOWN:ERR"), std::string::npos) << err;
    EXPECT_NE(err.find("BW:UP 接收 payload 失败"), std::string::npos) << err;
}

TEST_F(UsbMuxServiceTest, SilentPhoneAppIsAConnectionFailure) {
    runAsync(loop, service.start());
    ASSERT_EQ(sim.control(std::string("fault ") + kPhone + " silent on"), "OK");
    EXPECT_EQ(roundError(0), Error::connectionFailed);
}

TEST_F(UsbMuxServiceTest, DeviceEventsReachTheHandlerOnTheLoopThread) {
    std::vector<UsbMuxService::DeviceEvent> seen;
    std::vector<std::thread::id> threads;
    runAsync(loop, service.setDeviceEventHandler([&](const UsbMuxService::DeviceEvent& event) {
        seen.push_back(event);
        threads.push_back(std::this_thread::get_id());
    }));
    runAsync(loop, service.start());
    ASSERT_TRUE(runUntil(loop, [&] { return seen.size() == 1; }));
    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    ASSERT_TRUE(runUntil(loop, [&] { return seen.size() == 2; }));

    EXPECT_EQ(seen[0].eventType, 1);
    EXPECT_EQ(seen[0].udid, kPhone);
    EXPECT_EQ(seen[1].eventType, 2);
    EXPECT_EQ(seen[1].udid, kPhone);
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());

    // Without a handler, events are dropped; with one again, they flow.
    runAsync(loop, service.setDeviceEventHandler(nullptr));
    ASSERT_EQ(sim.control(std::string("attach ") + kPhone).rfind("OK ", 0), 0u);
    tunnel_id tunnel{};
    tunnel.port = kPort;
    ASSERT_TRUE(test::waitUntil([&] { return usbmux_tunnel_ensure(&tunnel) != 0; }));
    runAsync(loop, service.setDeviceEventHandler(
                       [&](const UsbMuxService::DeviceEvent& event) { seen.push_back(event); }));
    ASSERT_EQ(sim.control(std::string("detach ") + kPhone), "OK");
    ASSERT_TRUE(runUntil(loop, [&] { return seen.size() >= 3; }));
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].eventType, 2);
}

} // namespace
} // namespace brimo
