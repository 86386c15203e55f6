#include "service/RelayProbeCoordinator.h"
#include "service/TunnelRelayBridge.h"
#include "shared/Log.h"
#include "tests/common/RunAsync.h"
#include "tests/common/ServiceCoreParts.h"
#include "tests/common/SocketPairPhones.h"
#include "tests/support/FakeTools.h"

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <fstream>
#include <gtest/gtest.h>

namespace brimo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Tool = test::FakeTools::Tool;

// How the phone treats pings (code 0).
enum class PhoneMood { answers, refuses, silent, slow };

// The coordinator with a real relay bridge against socket-pair phones and a real mount service
// running fake tools, on the fake clock. Time moves in small steps, each followed by running
// the loop until it is idle, so that pings over the sockets complete between steps.
class RelayProbeCoordinatorTest : public testing::Test, protected test::ServiceCoreParts {
protected:
    RelayProbeCoordinatorTest() { attachPhone(); }
    ~RelayProbeCoordinatorTest() override { fs::remove_all(dir); }

    static fs::path makeDir() {
        char name[] = "/tmp/brimo-probe-XXXXXX";
        return ::mkdtemp(name);
    }
    MountPlatform platform() const {
        return {tools.mountTool(),  tools.unmountTool(), tools.opener(),
                tools.mountTable(), dir / "mnt",         [dir = dir] { return dir / "container"; }};
    }

    void attachPhone() {
        core.handleDeviceEvent({1, "PHONE"});
        settle();
    }
    void detachPhone() {
        core.handleDeviceEvent({2, "PHONE"});
        settle();
    }
    void mountVolume() { tools.addMountEntry(dir / "mnt"); }

    // Runs the loop until it has been idle for 2 ms (or, should it never be, for 2 s).
    void settle() {
        loop.restart();
        const auto limit = std::chrono::steady_clock::now() + 2s;
        while (loop.run_for(2ms) > 0 && std::chrono::steady_clock::now() < limit) {
        }
    }
    // Moves fake time forward by `span` in steps of 50 ms.
    void pass(Clock::duration span) {
        for (Clock::duration done{}; done < span; done += 50ms) {
            clock.advance(50ms);
            settle();
        }
    }
    // Moves fake time forward until `done()` holds, for at most `limit`.
    template <class Predicate> bool passUntil(Predicate done, Clock::duration limit = 30s) {
        for (Clock::duration spent{}; !done() && spent < limit; spent += 50ms) {
            clock.advance(50ms);
            settle();
        }
        return done();
    }
    size_t logged(std::string_view line) const {
        size_t count = 0;
        for (const auto& message : log->messages())
            count += message == line;
        return count;
    }
    std::vector<std::vector<std::string>> forcedUnmounts() const {
        return tools.calls(Tool::unmount);
    }

    asio::awaitable<TunnelMessage> answer(uint16_t code, Bytes payload) {
        if (code != 0) co_return TunnelMessage{0, std::move(payload)};
        ++pings;
        if (mood == PhoneMood::refuses) co_return TunnelMessage{5, {}};
        if (mood == PhoneMood::slow) co_await clock.sleep(1s);
        if (mood == PhoneMood::silent) {
            asio::steady_timer never(loop, asio::steady_timer::time_point::max());
            co_await never.async_wait(asio::use_awaitable);
        }
        co_return TunnelMessage{0, {}};
    }

    log::ScopedMemorySink log;
    FakeClock clock;
    fs::path dir = makeDir();
    test::FakeTools tools{dir / "tools"};
    MountService mounts{clock, platform()};
    test::RecordingPushActions actions;
    PhoneMood mood = PhoneMood::answers;
    int pings = 0;
    test::SocketPairPhones phones{loop, [this](int, uint16_t code, Bytes payload) {
                                      return answer(code, std::move(payload));
                                  }};
    TunnelRelayBridge relay{loop.get_executor(), engine, core, clock, actions, phones.factory()};
    RelayProbeCoordinator probe{loop.get_executor(), clock, core, relay, mounts};
};

TEST_F(RelayProbeCoordinatorTest, ProbeLogsEachChangeOfReachabilityOnce) {
    probe.usbConnected();
    pass(10s); // a ping about every 3 s
    EXPECT_GE(pings, 3);
    EXPECT_LE(pings, 5);
    EXPECT_TRUE(probe.relayReachable());
    EXPECT_EQ(logged("[relay-probe] iOS relay reachable"), 1u);

    // A non-zero status is a failure: each one resets the tunnel and retries after 0.5 s.
    mood = PhoneMood::refuses;
    ASSERT_TRUE(passUntil([&] { return !probe.relayReachable(); }, 4s));
    const int opensBefore = phones.opens;
    const int pingsBefore = pings;
    pass(3s);
    EXPECT_EQ(logged("[relay-probe] iOS relay unreachable"), 1u);
    EXPECT_GE(pings - pingsBefore, 4);
    EXPECT_GE(phones.opens - opensBefore, 4);

    mood = PhoneMood::answers;
    pass(1s);
    EXPECT_TRUE(probe.relayReachable());
    EXPECT_EQ(logged("[relay-probe] iOS relay reachable"), 2u);
    EXPECT_TRUE(forcedUnmounts().empty());
}

TEST_F(RelayProbeCoordinatorTest, OnlyOneLoopRunsHoweverOftenItIsStarted) {
    probe.usbConnected();
    probe.usbConnected();
    probe.volumeUnmounted();
    settle();
    // Each start may have sent its first ping before the next one replaced it.
    const int first = pings;
    pass(30s);
    // One loop pings about every 3 s; three would triple that.
    EXPECT_LE(pings - first, 11);
}

TEST_F(RelayProbeCoordinatorTest, KeepaliveStaysQuietWhileTrafficFlows) {
    mountVolume();
    probe.volumeMounted();
    for (int second = 0; second < 20; ++second) {
        relay.noteIOSContact(); // a transfer chunk, a relay answer or a push
        pass(1s);
    }
    EXPECT_EQ(pings, 0);
    EXPECT_TRUE(probe.isLooping());
    // Quiet for 3 s: the keepalive pings, and the answer keeps the volume.
    ASSERT_TRUE(passUntil([&] { return pings == 1; }, 4s));
    pass(1s);
    EXPECT_TRUE(forcedUnmounts().empty());
    EXPECT_TRUE(mounts.isMounted());
}

TEST_F(RelayProbeCoordinatorTest, ASilentPhoneCostsTheVolumeAfterThreeMisses) {
    mountVolume();
    probe.usbConnected();
    settle();
    EXPECT_EQ(logged("[relay-probe] USB connected while volume mounted — start mounted keepalive"),
              1u);
    mood = PhoneMood::silent;
    ASSERT_TRUE(
        passUntil([&] { return logged("[relay-probe] force unmount after lost relay ok") == 1; }));
    EXPECT_FALSE(mounts.isMounted());
    EXPECT_EQ(forcedUnmounts(),
              (std::vector<std::vector<std::string>>{{"-f", (dir / "mnt").string()}}));
    std::vector<std::string> lines;
    for (const auto& message : log->messages())
        if (message.starts_with("[relay-probe] ")) lines.push_back(message);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[relay-probe] USB connected while volume mounted — start mounted "
                         "keepalive",
                         "[relay-probe] mounted keepalive miss 1/3",
                         "[relay-probe] mounted keepalive miss 2/3",
                         "[relay-probe] mounted keepalive miss 3/3",
                         "[relay-probe] mounted keepalive exhausted — force unmount",
                         "[relay-probe] force unmount after lost relay ok",
                     }));
    // The phone is still attached: the probe takes over.
    const int pingsBefore = pings;
    pass(5s);
    EXPECT_GT(pings, pingsBefore);
    EXPECT_TRUE(probe.isLooping());
    EXPECT_EQ(forcedUnmounts().size(), 1u);
}

TEST_F(RelayProbeCoordinatorTest, APingTimedOutWhileThePhoneAnsweredOthersIsNoMiss) {
    mountVolume();
    relay.noteIOSContact();
    probe.volumeMounted();
    mood = PhoneMood::silent; // pings go unanswered, but a transfer keeps getting answers
    for (int step = 0; step < 8; ++step) {
        pass(3500ms);
        relay.noteIOSContact();
    }
    EXPECT_GE(pings, 3);
    EXPECT_EQ(logged("[relay-probe] mounted keepalive miss 1/3"), 0u);
    EXPECT_EQ(phones.opens, 1); // nothing was reset
    EXPECT_TRUE(mounts.isMounted());
    // Once nothing at all is answered, the misses count again.
    ASSERT_TRUE(passUntil([&] { return logged("[relay-probe] mounted keepalive miss 1/3") == 1; }));
}

TEST_F(RelayProbeCoordinatorTest, AnAnsweredPingStartsTheMissCountAfresh) {
    mountVolume();
    probe.volumeMounted();
    mood = PhoneMood::refuses;
    ASSERT_TRUE(passUntil([&] { return logged("[relay-probe] mounted keepalive miss 2/3") == 1; }));
    mood = PhoneMood::answers;
    ASSERT_TRUE(
        passUntil([&] { return logged("[relay-probe] mounted keepalive recovered") == 1; }));
    mood = PhoneMood::refuses;
    ASSERT_TRUE(passUntil([&] { return logged("[relay-probe] mounted keepalive miss 1/3") == 2; }));
    EXPECT_EQ(logged("[relay-probe] mounted keepalive miss 3/3"), 0u);
    EXPECT_TRUE(mounts.isMounted());
}

TEST_F(RelayProbeCoordinatorTest, AnUnpluggedPhoneUnmountsAtOnceAndStopsTheLoop) {
    mountVolume();
    probe.volumeMounted();
    settle();
    ASSERT_TRUE(probe.isLooping());
    detachPhone();
    probe.usbDisconnected();
    ASSERT_TRUE(test::runUntil(
        loop, [&] { return logged("[relay-probe] force unmount after USB disconnect") == 1; }));
    EXPECT_FALSE(mounts.isMounted());
    EXPECT_FALSE(probe.isLooping());
    EXPECT_FALSE(probe.relayReachable());

    // Unplugged again with nothing mounted: only the failure line.
    probe.usbDisconnected();
    settle();
    EXPECT_EQ(logged("[relay-probe] unmount after disconnect failed: Brimo is not mounted."), 1u);
    EXPECT_EQ(forcedUnmounts().size(), 1u);

    // Without a phone, an unmount starts nothing.
    probe.volumeUnmounted();
    pass(5s);
    EXPECT_FALSE(probe.isLooping());
    EXPECT_EQ(logged("[relay-probe] volume unmounted — resume probe"), 0u);
}

TEST_F(RelayProbeCoordinatorTest, TheProbeAndTheKeepaliveHandOverWithTheVolume) {
    probe.usbConnected();
    settle();
    ASSERT_TRUE(probe.isLooping());
    mountVolume(); // mounted by someone else, without mount control
    pass(4s);
    EXPECT_EQ(logged("[relay-probe] volume mounted mid-loop — stop probe"), 1u);
    EXPECT_FALSE(probe.isLooping());

    probe.volumeMounted();
    settle();
    EXPECT_TRUE(probe.isLooping());
    // Unmounted by the extension: the probe replaces the keepalive, whose end must not take the
    // probe's place with it.
    std::ofstream(tools.mountTable(), std::ios::trunc).flush();
    probe.volumeUnmounted();
    settle();
    EXPECT_EQ(logged("[relay-probe] volume unmounted — resume probe"), 1u);
    const int pingsBefore = pings;
    pass(4s);
    EXPECT_TRUE(probe.isLooping());
    EXPECT_GT(pings, pingsBefore);
}

TEST_F(RelayProbeCoordinatorTest, AnAnswerToACancelledLoopChangesNothing) {
    mood = PhoneMood::slow;
    probe.usbConnected();
    settle();
    ASSERT_EQ(pings, 1);
    probe.usbDisconnected(); // while the ping is out
    settle();
    pass(2s); // the late answer arrives
    EXPECT_FALSE(probe.relayReachable());
    EXPECT_EQ(logged("[relay-probe] iOS relay reachable"), 0u);
    EXPECT_FALSE(probe.isLooping());
}

} // namespace
} // namespace brimo