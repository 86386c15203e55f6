#include "service/usbmuxkit/UsbTunnelManager.h"
#include "tests/common/SocketPair.h"

#include <gtest/gtest.h>
#include <thread>

namespace usbmuxkit {
namespace {

using brimo::test::SocketPair;

// The line protocol against a scripted phone on the other end of a socket pair.
class SpeedTestRoutines : public testing::Test {
protected:
    SocketPair pair;
    TunnelSession session{pair.local, "udid", 1, 33325};
    UsbTunnelManager manager;
};

TEST_F(SpeedTestRoutines, PingReportsTheRoundTripForPongAndForAnyOtherLine) {
    std::thread phone([&] {
        EXPECT_EQ(pair.readLine(), "PING\r\n");
        pair.write("PONG\r\r\n");
        EXPECT_EQ(pair.readLine(), "PING\r\n");
        pair.write("HELLO\n");
    });
    testing::internal::CaptureStdout();
    double first = -1, second = -1;
    EXPECT_TRUE(manager.runPing(session, first));
    EXPECT_TRUE(manager.runPing(session, second));
    const std::string out = testing::internal::GetCapturedStdout();
    phone.join();
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    EXPECT_EQ(out.rfind("往返延时 (RTT): ", 0), 0u) << out;
    EXPECT_NE(out.find(" ms\nRTT 收到非预期行: \"HELLO\" （仍报告耗时 "), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(" ms)\n")) << out;
}

TEST_F(SpeedTestRoutines, DownloadSendsTheAnnouncedPatternAndAcceptsAnyOkSuffix) {
    const uint64_t bytes = TunnelSession::kChunkBytes + 1000;
    std::string header, payload;
    std::thread phone([&] {
        header = pair.readLine();
        payload = pair.read(bytes);
        pair.write("BW:DOWN:OK:whatever\r\n");
    });
    testing::internal::CaptureStdout();
    double seconds = 0;
    EXPECT_TRUE(manager.runDownloadTest(session, bytes, seconds));
    const std::string out = testing::internal::GetCapturedStdout();
    phone.join();
    EXPECT_EQ(header, "BW:DOWN:263144\r\n");
    ASSERT_EQ(payload.size(), bytes);
    EXPECT_EQ(payload.find_first_not_of('\xA5'), std::string::npos);
    EXPECT_GT(seconds, 0);
    EXPECT_EQ(out.rfind("下行带宽 Mac → iPhone (USBMUX): 字节数: 263144 用时: ", 0), 0u) << out;
    EXPECT_NE(out.find(" MiB/s, "), std::string::npos);
    EXPECT_TRUE(out.ends_with(" Mbit/s\n")) << out;
}

TEST_F(SpeedTestRoutines, DownloadFailsOnAnUnexpectedOrMissingAcknowledgement) {
    std::thread phone([&] {
        pair.readLine();
        pair.write("BW:DOWN:ERR\r\n");
        pair.readLine();
        pair.closePeer();
    });
    testing::internal::CaptureStderr();
    double seconds = -1;
    EXPECT_FALSE(manager.runDownloadTest(session, 0, seconds));
    EXPECT_EQ(seconds, -1);
    EXPECT_FALSE(manager.runDownloadTest(session, 0, seconds));
    const std::string err = testing::internal::GetCapturedStderr();
    phone.join();
    EXPECT_NE(err.find("意外 ACK: BW:DOWN:ERR\n"), std::string::npos) << err;
    EXPECT_NE(err.find("读取 BW:DOWN 确认失败\n"), std::string::npos) << err;
}

TEST_F(SpeedTestRoutines, UploadReceivesTheAnnouncedBytesWithoutAcknowledgement) {
    const uint64_t bytes = 3 * TunnelSession::kChunkBytes;
    std::string header;
    std::thread phone([&] {
        header = pair.readLine();
        pair.write(std::string(bytes, 'u'));
        // Anything after the burst stays unread by the test.
        pair.write("TRAILER\n");
    });
    testing::internal::CaptureStdout();
    double seconds = 0;
    EXPECT_TRUE(manager.runUploadTest(session, bytes, seconds));
    const std::string out = testing::internal::GetCapturedStdout();
    phone.join();
    EXPECT_EQ(header, "BW:UP:786432\r\n");
    EXPECT_EQ(out.rfind("上行带宽 iPhone → Mac (USBMUX): 字节数: 786432 用时: ", 0), 0u) << out;
    std::string rest;
    ASSERT_TRUE(session.readLine(rest));
    EXPECT_EQ(rest, "TRAILER");
}

TEST_F(SpeedTestRoutines, UploadFailsWhenThePhoneStopsShort) {
    std::thread phone([&] {
        pair.readLine();
        pair.write(std::string(100, 'u'));
        pair.closePeer();
    });
    testing::internal::CaptureStderr();
    double seconds = 0;
    EXPECT_FALSE(manager.runUploadTest(session, 1000, seconds));
    const std::string err = testing::internal::GetCapturedStderr();
    phone.join();
    EXPECT_NE(err.find("BW:UP 接收 payload 失败\n"), std::string::npos) << err;
}

} // namespace
} // namespace usbmuxkit
