#include "service/usbmuxkit/UsbTunnelManager.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "tests/common/RunAsync.h"
#include "tests/support/SimProcess.h"

#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace usbmuxkit {
namespace {

using brimo::test::SimProcess;
using brimo::test::UsbmuxdAddressGuard;
using brimo::test::waitUntil;

constexpr const char* kPhoneA = "00008030-00000000000000A1";
constexpr const char* kPhoneB = "00008030-00000000000000B2";
constexpr uint16_t kPort = 33325;

// Device events as the manager's callback sees them (it is a plain function).
struct Recorded {
    int32_t type;
    std::string udid;
};
std::mutex eventsMutex;
std::vector<Recorded> events;

void recordEvent(const DeviceEvent* event) {
    std::lock_guard lock(eventsMutex);
    events.push_back({event->type, event->udid});
}

bool sawEvent(int32_t type, const std::string& udid, size_t times = 1) {
    std::lock_guard lock(eventsMutex);
    size_t seen = 0;
    for (const auto& e : events)
        seen += e.type == type && e.udid == udid;
    return seen >= times;
}

tunnel_id tunnelTo(const std::string& udid = "", uint16_t port = kPort) {
    tunnel_id tunnel{};
    std::strncpy(tunnel.udid, udid.c_str(), sizeof(tunnel.udid) - 1);
    tunnel.port = port;
    return tunnel;
}

std::vector<std::string> openTunnelUdids() {
    tunnel_id* tunnels = nullptr;
    const int64_t count = usbmux_mgr_copy_current_tunnels(&tunnels);
    std::vector<std::string> udids;
    for (int64_t i = 0; i < count; ++i)
        udids.emplace_back(tunnels[i].udid);
    usbmux_mgr_free_tunnels(tunnels, count);
    return udids;
}

// PING over the raw tunnel, through the flat interface.
bool pingOver(const tunnel_id& tunnel) {
    if (!usbmux_tunnel_send(&tunnel, "PING\r\n", 6)) return false;
    char reply[6];
    return usbmux_tunnel_recv(&tunnel, reply, sizeof reply) &&
           std::string(reply, sizeof reply) == "PONG\r\n";
}

class UsbTunnelManagerTest : public testing::Test {
protected:
    explicit UsbTunnelManagerTest(std::vector<std::string> devices = {kPhoneA})
        : sim(SimProcess::Options{std::move(devices), "", ""})
        , address(sim.usbmuxdAddress()) {
        std::lock_guard lock(eventsMutex);
        events.clear();
    }
    ~UsbTunnelManagerTest() override { usbmux_mgr_shutdown(); }

    // Waits for the subscription's first event when a phone is there at start.
    void startWithEvents() {
        usbmux_mgr_set_device_event_callback(&recordEvent);
        ASSERT_TRUE(usbmux_mgr_start());
        if (sim.running()) {
            ASSERT_TRUE(waitUntil([] { return sawEvent(1, kPhoneA); }));
        }
    }

    SimProcess sim;
    UsbmuxdAddressGuard address;
};

TEST_F(UsbTunnelManagerTest, NothingTouchesTheDaemonBeforeStart) {
    const tunnel_id tunnel = tunnelTo();
    EXPECT_FALSE(usbmux_tunnel_ensure(&tunnel));
    EXPECT_FALSE(usbmux_mgr_check_connected(&tunnel));
    usbmux_mgr_invalidate_tunnel(&tunnel);
    EXPECT_EQ(sim.control("stats"), "OK listens=0 lists=0 connects=0 open=0");
    // Listing tunnels reads the device list when it is stale, started or not.
    tunnel_id* out = reinterpret_cast<tunnel_id*>(0x1);
    EXPECT_EQ(usbmux_mgr_copy_current_tunnels(&out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(usbmux_mgr_copy_current_tunnels(nullptr), -1);
}

TEST_F(UsbTunnelManagerTest, TunnelCarriesBytesAndNullBufferOfLengthZeroSendsNothing) {
    startWithEvents();
    const tunnel_id tunnel = tunnelTo();
    EXPECT_TRUE(usbmux_tunnel_send(&tunnel, nullptr, 0));
    EXPECT_TRUE(usbmux_tunnel_recv(&tunnel, nullptr, 0));
    EXPECT_FALSE(usbmux_tunnel_send(&tunnel, nullptr, 5));
    EXPECT_FALSE(usbmux_tunnel_recv(&tunnel, nullptr, 5));
    EXPECT_TRUE(pingOver(tunnel));
    EXPECT_TRUE(usbmux_mgr_check_connected(&tunnel));
    EXPECT_EQ(openTunnelUdids(), std::vector<std::string>{kPhoneA});
    // The explicit UDID names the same connection as the empty one.
    const tunnel_id named = tunnelTo(kPhoneA);
    EXPECT_TRUE(pingOver(named));
    EXPECT_NE(sim.control("stats").find("listens=1 lists=2 connects=1 open=1"), std::string::npos);

    usbmux_mgr_invalidate_tunnel(&tunnel);
    EXPECT_FALSE(usbmux_mgr_check_connected(&tunnel));
    EXPECT_TRUE(openTunnelUdids().empty());
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));

    const tunnel_id elsewhere = tunnelTo("00008030-0000000000000FFF");
    EXPECT_FALSE(usbmux_tunnel_send(&elsewhere, "x", 1));
}

class TwoPhones : public UsbTunnelManagerTest {
protected:
    TwoPhones()
        : UsbTunnelManagerTest({kPhoneA, kPhoneB}) {}
};

TEST_F(TwoPhones, EmptyUdidFollowsTheFirstListedDeviceAndMovesOnWhenItLeaves) {
    startWithEvents();
    const tunnel_id first = tunnelTo();
    ASSERT_TRUE(pingOver(first));
    EXPECT_EQ(openTunnelUdids(), std::vector<std::string>{kPhoneA});

    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    ASSERT_TRUE(waitUntil([] { return sawEvent(2, kPhoneA); }));
    // The detached phone's session was pruned by the event's refresh.
    EXPECT_TRUE(openTunnelUdids().empty());
    ASSERT_TRUE(pingOver(first));
    EXPECT_EQ(openTunnelUdids(), std::vector<std::string>{kPhoneB});
}

TEST_F(UsbTunnelManagerTest, ReattachedDeviceGetsAFreshConnection) {
    startWithEvents();
    const tunnel_id tunnel = tunnelTo();
    ASSERT_TRUE(pingOver(tunnel));
    std::shared_ptr<TunnelSession> old = UsbTunnelManager::shared().sessionFor("", kPort);
    ASSERT_TRUE(old);

    ASSERT_EQ(sim.control(std::string("reattach ") + kPhoneA).rfind("OK ", 0), 0u);
    ASSERT_TRUE(waitUntil([] { return sawEvent(1, kPhoneA, 2); }));
    EXPECT_EQ(old->fd(), -1);
    ASSERT_TRUE(pingOver(tunnel));
    auto fresh = UsbTunnelManager::shared().sessionFor("", kPort);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh->handle(), old->handle());
    EXPECT_TRUE(sim.control("stats").find("connects=2") != std::string::npos);
}

TEST_F(UsbTunnelManagerTest, DetachWakesAReceiveBlockedOnTheTunnel) {
    startWithEvents();
    const tunnel_id tunnel = tunnelTo();
    ASSERT_TRUE(usbmux_tunnel_ensure(&tunnel));
    int64_t received = -1;
    std::thread reader([&] {
        char byte;
        received = usbmux_tunnel_recv(&tunnel, &byte, 1);
    });
    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    reader.join();
    EXPECT_EQ(received, 0);
    ASSERT_TRUE(waitUntil([] { return sawEvent(2, kPhoneA); }));
    EXPECT_FALSE(usbmux_tunnel_ensure(&tunnel));
}

TEST_F(UsbTunnelManagerTest, DeviceEventsCarryTypeAndUdid) {
    startWithEvents();
    ASSERT_EQ(sim.control(std::string("attach ") + kPhoneB).rfind("OK ", 0), 0u);
    ASSERT_TRUE(waitUntil([] { return sawEvent(1, kPhoneB); }));
    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneB), "OK");
    ASSERT_TRUE(waitUntil([] { return sawEvent(2, kPhoneB); }));
    // After clearing, events still refresh the device list but reach no one.
    usbmux_mgr_set_device_event_callback(nullptr);
    ASSERT_EQ(sim.control(std::string("attach ") + kPhoneB).rfind("OK ", 0), 0u);
    const tunnel_id tunnel = tunnelTo(kPhoneB);
    ASSERT_TRUE(waitUntil([&] { return usbmux_tunnel_ensure(&tunnel) != 0; }));
    EXPECT_FALSE(sawEvent(1, kPhoneB, 2));
}

TEST_F(UsbTunnelManagerTest, FollowsADaemonThatStartsLateGoesAwayAndComesBack) {
    sim.stop();
    startWithEvents();
    const tunnel_id tunnel = tunnelTo();
    EXPECT_FALSE(usbmux_tunnel_ensure(&tunnel));

    sim.start();
    ASSERT_TRUE(waitUntil([] { return sawEvent(1, kPhoneA); }));
    EXPECT_TRUE(pingOver(tunnel));

    sim.stop();
    ASSERT_TRUE(waitUntil([] { return sawEvent(2, kPhoneA); }));
    EXPECT_FALSE(usbmux_tunnel_ensure(&tunnel));

    sim.start();
    ASSERT_TRUE(waitUntil([] { return sawEvent(1, kPhoneA, 2); }));
    EXPECT_TRUE(pingOver(tunnel));
}

} // namespace
} // namespace usbmuxkit
