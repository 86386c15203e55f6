// The simulator as libusbmuxd sees it: device lists, events, Connect answers and the other
// requests, all through the real library.
#include "tests/sim/SimTestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <usbmuxd.h>

namespace brimo::test {
namespace {

using Devices = std::vector<std::pair<std::string, uint32_t>>;

class UsbmuxdProtocolTest : public ::testing::Test, public SimFixtureBase {
protected:
    UsbmuxdProtocolTest()
        : SimFixtureBase({kPhoneA, kPhoneB}) {}
};

TEST_F(UsbmuxdProtocolTest, ListsPhonesWithFreshIdsAcrossDetachAndAttach) {
    EXPECT_EQ(listDevices(), (Devices{{kPhoneA, 1}, {kPhoneB, 2}}));
    usbmuxd_device_info_t info{};
    ASSERT_EQ(usbmuxd_get_device_by_udid(kPhoneB, &info), 1);
    EXPECT_EQ(info.handle, 2u);
    EXPECT_EQ(info.conn_type, CONNECTION_TYPE_USB);
    EXPECT_NE(info.product_id, 0);

    EXPECT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    EXPECT_EQ(listDevices(), (Devices{{kPhoneB, 2}}));
    EXPECT_EQ(sim.control(std::string("attach ") + kPhoneA), "OK 3");
    EXPECT_EQ(sim.control(std::string("reattach ") + kPhoneB), "OK 4");
    EXPECT_EQ(listDevices(), (Devices{{kPhoneA, 3}, {kPhoneB, 4}}));
    EXPECT_EQ(sim.control("list"), std::string("OK ") + kPhoneA + "=3 " + kPhoneB + "=4");

    EXPECT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    EXPECT_EQ(sim.control(std::string("detach ") + kPhoneB), "OK");
    EXPECT_EQ(listDevices(), Devices{});
    EXPECT_EQ(sim.control("list"), "OK");
}

TEST_F(UsbmuxdProtocolTest, ConnectAnswersMapToTheLibraryErrors) {
    Tunnel wrongPort(1, 1234);
    EXPECT_EQ(wrongPort.result(), -ECONNREFUSED);
    Tunnel unknownDevice(77);
    EXPECT_EQ(unknownDevice.result(), -ENODEV);

    ASSERT_EQ(sim.control(std::string("fault ") + kPhoneA + " refuse on"), "OK");
    Tunnel refused(1);
    EXPECT_EQ(refused.result(), -ECONNREFUSED);
    Tunnel otherPhone(2);
    EXPECT_GE(otherPhone.result(), 0) << "faults belong to one phone";
    ASSERT_EQ(sim.control(std::string("fault ") + kPhoneA + " refuse off"), "OK");
    Tunnel accepted(1);
    EXPECT_GE(accepted.result(), 0);

    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    Tunnel detached(1);
    EXPECT_EQ(detached.result(), -ENODEV);
}

TEST_F(UsbmuxdProtocolTest, AnswersBuidAndRefusesPairRecords) {
    char* buid = nullptr;
    ASSERT_EQ(usbmuxd_read_buid(&buid), 0);
    EXPECT_FALSE(std::string(buid).empty());
    std::free(buid);
    char* record = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(usbmuxd_read_pair_record(kPhoneA, &record, &size), -2);
    EXPECT_EQ(usbmuxd_delete_pair_record(kPhoneA), -1) << "unknown requests get BADCOMMAND";
    // The simulator still serves requests after the unusual ones.
    EXPECT_EQ(listDevices().size(), 2u);
}

TEST_F(UsbmuxdProtocolTest, StatsCountRequestsAndOpenPipes) {
    EXPECT_EQ(sim.control("stats"), "OK listens=0 lists=0 connects=0 open=0");
    listDevices();
    listDevices();
    {
        Tunnel tunnel(1);
        ASSERT_GE(tunnel.result(), 0);
        tunnel.send("PING\n");
        EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n");
        Tunnel refused(1, 1234);
        EXPECT_EQ(sim.control("stats"), "OK listens=0 lists=2 connects=1 open=1");
    }
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));
    EXPECT_EQ(sim.control("stats"), "OK listens=0 lists=2 connects=1 open=0");
}

struct EventLog {
    struct Entry {
        int type;
        std::string udid;
        uint32_t id;
        bool operator==(const Entry&) const = default;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    static void record(const usbmuxd_event_t* event, void* self) {
        auto* log = static_cast<EventLog*>(self);
        std::lock_guard lock(log->mutex);
        log->entries.push_back({event->event, event->device.udid, event->device.handle});
    }
    std::vector<Entry> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
    bool waitForCount(size_t count) {
        return waitUntil([&] { return snapshot().size() >= count; });
    }
};

// Unsubscribes on every way out of a test, before the log it writes to goes away.
class Subscription {
public:
    explicit Subscription(EventLog& log) {
        EXPECT_EQ(usbmuxd_events_subscribe(&context_, &EventLog::record, &log), 0);
    }
    ~Subscription() { end(); }
    void end() {
        if (context_) usbmuxd_events_unsubscribe(context_);
        context_ = nullptr;
    }

private:
    usbmuxd_subscription_context_t context_ = nullptr;
};

TEST_F(UsbmuxdProtocolTest, SubscribersSeePresentPhonesThenEveryChange) {
    EventLog log;
    Subscription subscription(log);
    ASSERT_TRUE(log.waitForCount(2));

    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneB), "OK");
    ASSERT_EQ(sim.control(std::string("reattach ") + kPhoneA), "OK 3");
    ASSERT_EQ(sim.control(std::string("attach ") + kPhoneB), "OK 4");
    ASSERT_TRUE(log.waitForCount(6));
    subscription.end();

    auto entries = log.snapshot();
    entries.resize(6); // unsubscribing reports the phones as removed again
    EXPECT_EQ(entries, (std::vector<EventLog::Entry>{{UE_DEVICE_ADD, kPhoneA, 1},
                                                     {UE_DEVICE_ADD, kPhoneB, 2},
                                                     {UE_DEVICE_REMOVE, kPhoneB, 2},
                                                     {UE_DEVICE_REMOVE, kPhoneA, 1},
                                                     {UE_DEVICE_ADD, kPhoneA, 3},
                                                     {UE_DEVICE_ADD, kPhoneB, 4}}));
    EXPECT_TRUE(sim.control("stats").starts_with("OK listens=1 "));
}

TEST_F(UsbmuxdProtocolTest, SubscribersRecoverWhenTheSimulatorRestarts) {
    // Without inotify the library polls for the socket instead of waiting for /var/run.
    libusbmuxd_set_use_inotify(0);
    EventLog log;
    Subscription subscription(log);
    ASSERT_TRUE(log.waitForCount(2));

    sim.stop();
    ASSERT_EQ(sim.lastExitCode(), 0);
    ASSERT_TRUE(log.waitForCount(4)) << "losing the daemon removes every phone";
    sim.start();
    ASSERT_TRUE(log.waitForCount(6));
    subscription.end();

    auto entries = log.snapshot();
    EXPECT_EQ(entries[2].type, UE_DEVICE_REMOVE);
    EXPECT_EQ(entries[3].type, UE_DEVICE_REMOVE);
    EXPECT_EQ(entries[4], (EventLog::Entry{UE_DEVICE_ADD, kPhoneA, 1}));
    EXPECT_EQ(entries[5], (EventLog::Entry{UE_DEVICE_ADD, kPhoneB, 2}));
}

} // namespace
} // namespace brimo::test
