#include "service/tunnel/TunnelFrame.h"

#include <gtest/gtest.h>

namespace brimo {
namespace {

TEST(TunnelFrame, EncodesTheLittleEndianHeaderFollowedByThePayload) {
    const auto frame = encodeTunnelFrame(TunnelFrameKind::response, 0x0102, 0x0A0B0C0D, {0xEE});
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, (Bytes{'P', 'R', 'T', 'U', 2, 0, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 1, 0, 0,
                             0, 0xEE}));
    EXPECT_FALSE(encodeTunnelFrame(TunnelFrameKind::request, 1, 0, {}));
    EXPECT_TRUE(encodeTunnelFrame(TunnelFrameKind::request, 1, 1, Bytes(kTunnelMaxPayload)));
    EXPECT_FALSE(encodeTunnelFrame(TunnelFrameKind::request, 1, 1, Bytes(kTunnelMaxPayload + 1)));

    // Sent apart, the header is the frame's first 16 bytes.
    auto header = encodeTunnelFrameHeader(TunnelFrameKind::response, 0x0102, 0x0A0B0C0D, 1);
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, Bytes(frame->begin(), frame->begin() + kTunnelHeaderSize));
    EXPECT_FALSE(encodeTunnelFrameHeader(TunnelFrameKind::request, 1, 1, kTunnelMaxPayload + 1));
}

TEST(TunnelFrame, HeaderValidationChecksSizeMagicKindAndLength) {
    auto header = [](uint8_t kind, uint32_t length) {
        Bytes raw = *encodeTunnelFrame(TunnelFrameKind::notify, 7, 9, {});
        raw[4] = kind;
        raw[5] = 0xFF; // reserved: ignored
        for (int i = 0; i < 4; ++i)
            raw[12 + i] = static_cast<uint8_t>(length >> (8 * i));
        return raw;
    };
    for (uint8_t kind : {1, 2, 3, 4, 5}) {
        const auto decoded = decodeTunnelFrameHeader(header(kind, kTunnelMaxPayload));
        ASSERT_TRUE(decoded) << int(kind);
        EXPECT_EQ(decoded->kind, kind);
        EXPECT_EQ(decoded->code, 7);
        EXPECT_EQ(decoded->flowID, 9u);
        EXPECT_EQ(decoded->length, kTunnelMaxPayload);
    }
    EXPECT_FALSE(decodeTunnelFrameHeader(header(0, 0)));
    EXPECT_FALSE(decodeTunnelFrameHeader(header(6, 0)));
    EXPECT_FALSE(decodeTunnelFrameHeader(header(1, kTunnelMaxPayload + 1)));
    Bytes badMagic = header(1, 0);
    badMagic[3] = 'V';
    EXPECT_FALSE(decodeTunnelFrameHeader(badMagic));
    Bytes shortHeader = header(1, 0);
    shortHeader.pop_back();
    EXPECT_FALSE(decodeTunnelFrameHeader(shortHeader));
}

} // namespace
} // namespace brimo
