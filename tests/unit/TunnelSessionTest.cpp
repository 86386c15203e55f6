#include "service/usbmuxkit/TunnelSession.h"
#include "shared/Log.h"
#include "tests/common/SocketPair.h"

#include <gtest/gtest.h>
#include <thread>

namespace usbmuxkit {
namespace {

using brimo::test::SocketPair;

TEST(TunnelSession, ReadLineStripsEveryTrailingCarriageReturnAndKeepsInnerOnes) {
    SocketPair pair;
    TunnelSession session(pair.local, "udid", 1, 33325);
    ASSERT_TRUE(pair.write("PONG\r\r\nA\rB\r\n\n"));
    std::string line;
    ASSERT_TRUE(session.readLine(line));
    EXPECT_EQ(line, "PONG");
    ASSERT_TRUE(session.readLine(line));
    EXPECT_EQ(line, "A\rB");
    ASSERT_TRUE(session.readLine(line));
    EXPECT_EQ(line, "");
}

TEST(TunnelSession, ReadLineFailsOnEndOfStreamAndOnALineWithoutEnd) {
    SocketPair pair;
    TunnelSession session(pair.local, "udid", 1, 33325);
    brimo::log::ScopedMemorySink log;
    // A peer that never sends a line feed must not make the line grow without bound.
    std::thread peer([&] { pair.write(std::string(TunnelSession::kMaxLineBytes + 10, 'x')); });
    std::string line;
    EXPECT_FALSE(session.readLine(line));
    EXPECT_EQ(line.size(), TunnelSession::kMaxLineBytes);
    peer.join();
    EXPECT_EQ(log->records().size(), 1u);

    SocketPair ended;
    TunnelSession cut(ended.local, "udid", 1, 33325);
    ASSERT_TRUE(ended.write("PARTIAL"));
    ended.closePeer();
    EXPECT_FALSE(cut.readLine(line));
}

TEST(TunnelSession, LargeTransfersCrossPieceBoundariesIntact) {
    SocketPair pair;
    TunnelSession session(pair.local, "udid", 1, 33325);
    std::string payload(TunnelSession::kChunkBytes * 3 + 7, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 31 + i / 251);

    std::string echoed;
    std::thread peer([&] {
        echoed = pair.read(payload.size());
        pair.write(echoed);
    });
    ASSERT_TRUE(session.sendAll(payload.data(), static_cast<uint32_t>(payload.size())));
    std::string back(payload.size(), '\0');
    ASSERT_TRUE(session.recvAll(back.data(), static_cast<uint32_t>(back.size())));
    peer.join();
    EXPECT_TRUE(echoed == payload);
    EXPECT_TRUE(back == payload);
    EXPECT_TRUE(session.sendAll(nullptr, 0));
}

TEST(TunnelSession, CloseWakesABlockedReceiveAndLaterCallsFailWithTheirLogLine) {
    SocketPair pair;
    TunnelSession session(pair.local, "udid", 1, 33325);
    brimo::log::ScopedMemorySink log;
    bool received = true;
    std::thread reader([&] {
        char buffer[16];
        received = session.recvAll(buffer, sizeof buffer);
    });
    // The reader is blocked (nothing is ever sent); closing must wake it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    session.close();
    reader.join();
    EXPECT_FALSE(received);
    EXPECT_EQ(session.fd(), -1);

    EXPECT_FALSE(session.sendAll("hello", 5));
    char byte;
    EXPECT_FALSE(session.recvAll(&byte, 1));
    std::string line;
    EXPECT_FALSE(session.readLine(line));
    EXPECT_TRUE(log->contains("[UsbTunnelManager] sendAll failed: invalid fd total=5"));
    EXPECT_TRUE(log->contains("[UsbTunnelManager] recvAll failed: invalid fd total=1"));
}

TEST(TunnelSession, PeerGoneFailsSendAndReceiveWithTheStatusLogged) {
    SocketPair pair;
    TunnelSession session(pair.local, "udid", 1, 33325);
    brimo::log::ScopedMemorySink log;
    pair.closePeer();
    char buffer[4];
    EXPECT_FALSE(session.recvAll(buffer, sizeof buffer));
    EXPECT_FALSE(session.sendAll("data", 4));
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("[UsbTunnelManager] recvAll failed fd=", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find("got=0 recvTotal=0 total=4 requestChunk=4"), std::string::npos);
    EXPECT_EQ(messages[1].rfind("[UsbTunnelManager] sendAll failed fd=", 0), 0u) << messages[1];
}

} // namespace
} // namespace usbmuxkit
