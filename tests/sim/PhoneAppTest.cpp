// The simulated phone app behind a usbmuxd_connect tunnel: the speed-test line protocol,
// the scripted faults and the throttled link.
#include "tests/sim/SimTestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace brimo::test {
namespace {

class PhoneAppTest : public ::testing::Test, public SimFixtureBase {
protected:
    PhoneAppTest()
        : SimFixtureBase({kPhoneA}) {}
    std::string fault(const std::string& rest) {
        return sim.control(std::string("fault ") + kPhoneA + " " + rest);
    }
};

TEST_F(PhoneAppTest, AnswersPingAndMovesExactByteCounts) {
    Tunnel tunnel(1);
    ASSERT_GE(tunnel.result(), 0);
    tunnel.send("PING\r\n");
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n");
    tunnel.send("PING\r\r\n");
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n");

    const size_t down = 3 * 1024 * 1024 + 7;
    tunnel.send("BW:DOWN:" + std::to_string(down) + "\r\n" + std::string(down, 'x'));
    EXPECT_EQ(tunnel.receiveLine(), "BW:DOWN:OK:" + std::to_string(down) + "\r\n");
    // A command right behind the payload must not be swallowed with it.
    tunnel.send("BW:DOWN:5\nabcdePING\n");
    EXPECT_EQ(tunnel.receiveLine(), "BW:DOWN:OK:5\r\n");
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n");

    const size_t up = 2 * 1024 * 1024 + 3;
    tunnel.send("BW:UP:" + std::to_string(up) + "\r\nPING\r\n");
    EXPECT_EQ(tunnel.receive(up).size(), up);
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n") << "BW:UP sent more than announced";
}

TEST_F(PhoneAppTest, DetectsTheProtocolFromTheFirstBytes) {
    {
        Tunnel split(1); // the first line arrives in pieces shorter than the frame magic
        ASSERT_GE(split.result(), 0);
        split.send("PI");
        split.send("NG\n");
        EXPECT_EQ(split.receiveLine(), "PONG\r\n");
    }
    {
        Tunnel nearMagic(1);
        nearMagic.send("PRTX\n");
        EXPECT_EQ(nearMagic.receiveLine(), "ERR\r\n");
        nearMagic.send("BW:DOWN:lots\n");
        EXPECT_EQ(nearMagic.receiveLine(), "BW:DOWN:ERR\r\n");
    }
    {
        Tunnel framed(1);
        framed.send(std::string("PRTU\x01\x00\x01\x00", 8) + std::string(8, '\0'));
        EXPECT_EQ(framed.receiveUntilClosed(), "");
        EXPECT_EQ(framed.lastResult(), -ECONNRESET);
    }
    {
        Tunnel overlong(1);
        overlong.send(std::string(64 * 1024 + 1, 'a'));
        EXPECT_EQ(overlong.receiveUntilClosed(), "");
        EXPECT_EQ(overlong.lastResult(), -ECONNRESET);
    }
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));
}

TEST_F(PhoneAppTest, ReplyFaultsPersistUntilCleared) {
    ASSERT_EQ(fault("pong HELLO \\\\ \\r\\nWORLD"), "OK");
    ASSERT_EQ(fault("ack BW:DOWN:ERR"), "OK");
    {
        Tunnel tunnel(1);
        tunnel.send("PING\nBW:DOWN:2\nxy");
        EXPECT_EQ(tunnel.receiveLine(), "HELLO \\ \r\n");
        EXPECT_EQ(tunnel.receiveLine(), "WORLD\r\n");
        EXPECT_EQ(tunnel.receiveLine(), "BW:DOWN:ERR\r\n");
    }
    ASSERT_EQ(sim.control(std::string("reattach ") + kPhoneA), "OK 2");
    {
        Tunnel tunnel(2);
        tunnel.send("PING\n");
        EXPECT_EQ(tunnel.receiveLine(), "HELLO \\ \r\n") << "faults survive re-attach";
    }
    ASSERT_EQ(fault("clear"), "OK");
    Tunnel tunnel(2);
    tunnel.send("PING\nBW:DOWN:1\nz");
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n");
    EXPECT_EQ(tunnel.receiveLine(), "BW:DOWN:OK:1\r\n");
}

TEST_F(PhoneAppTest, SilentPhoneReadsButNeverAnswers) {
    ASSERT_EQ(fault("silent on"), "OK");
    Tunnel quiet(1);
    quiet.send("PING\nBW:DOWN:3\nabcBW:UP:10\nPING\n");
    EXPECT_EQ(quiet.pollReceive(500), -ETIMEDOUT);
    ASSERT_EQ(fault("silent off"), "OK");
    Tunnel talking(1);
    talking.send("PING\n");
    EXPECT_EQ(talking.receiveLine(), "PONG\r\n");
}

TEST_F(PhoneAppTest, CutClosesEachConnectionAfterItsByteBudget) {
    ASSERT_EQ(fault("cut 10"), "OK");
    {
        Tunnel tunnel(1);
        tunnel.send("BW:UP:100\n");
        EXPECT_EQ(tunnel.receiveUntilClosed(), std::string(10, '\xA5'));
        EXPECT_EQ(tunnel.lastResult(), -ECONNRESET);
    }
    {
        Tunnel tunnel(1); // the budget starts again on every connection
        tunnel.send("PING\nPING\n");
        EXPECT_EQ(tunnel.receiveUntilClosed(), "PONG\r\nPONG");
    }
    ASSERT_EQ(fault("cut 0"), "OK");
    Tunnel closedAtOnce(1);
    ASSERT_GE(closedAtOnce.result(), 0);
    EXPECT_EQ(closedAtOnce.receiveUntilClosed(), "");
    EXPECT_EQ(closedAtOnce.lastResult(), -ECONNRESET);
}

TEST_F(PhoneAppTest, FaultCommandsRejectMistakes) {
    EXPECT_EQ(sim.control("fault 00008030-0000000000000000 silent on").rfind("ERR ", 0), 0u);
    EXPECT_EQ(fault("silent maybe").rfind("ERR ", 0), 0u);
    EXPECT_EQ(fault("cut -1").rfind("ERR ", 0), 0u);
    EXPECT_EQ(fault("pong").rfind("ERR ", 0), 0u);
    EXPECT_EQ(fault("explode").rfind("ERR ", 0), 0u);
    Tunnel tunnel(1);
    tunnel.send("PING\n");
    EXPECT_EQ(tunnel.receiveLine(), "PONG\r\n") << "a rejected fault must change nothing";
}

TEST_F(PhoneAppTest, DetachClosesOpenPipes) {
    Tunnel tunnel(1);
    tunnel.send("PING\n");
    ASSERT_EQ(tunnel.receiveLine(), "PONG\r\n");
    ASSERT_TRUE(sim.control("stats").ends_with("open=1"));
    ASSERT_EQ(sim.control(std::string("detach ") + kPhoneA), "OK");
    EXPECT_EQ(tunnel.receiveUntilClosed(), "");
    EXPECT_EQ(tunnel.lastResult(), -ECONNRESET);
    EXPECT_TRUE(waitUntil([&] { return sim.control("stats").ends_with("open=0"); }));
}

class ThrottledLinkTest : public ::testing::Test, public SimFixtureBase {
protected:
    ThrottledLinkTest()
        : SimFixtureBase({kPhoneA}, "2M") {}
};

// Only a lower bound: a slow machine can make the transfer slower, never faster.
TEST_F(ThrottledLinkTest, NeitherDirectionBeatsTheLinkRate) {
    Tunnel tunnel(1);
    ASSERT_GE(tunnel.result(), 0);
    const size_t bytes = 1'000'000; // half a second at 2 MB/s
    auto start = std::chrono::steady_clock::now();
    tunnel.send("BW:UP:" + std::to_string(bytes) + "\n");
    ASSERT_EQ(tunnel.receive(bytes).size(), bytes);
    auto upload = std::chrono::steady_clock::now() - start;
    EXPECT_GE(upload, std::chrono::milliseconds(400));

    start = std::chrono::steady_clock::now();
    tunnel.send("BW:DOWN:" + std::to_string(bytes) + "\n" + std::string(bytes, 'x'));
    ASSERT_EQ(tunnel.receiveLine(), "BW:DOWN:OK:" + std::to_string(bytes) + "\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

} // namespace
} // namespace brimo::test
