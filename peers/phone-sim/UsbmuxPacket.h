#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The usbmux daemon's packet framing: a 16-byte little-endian header (whole packet length,
// version, message type, tag) followed by the payload.
namespace brimo::sim {

inline constexpr size_t kHeaderSize = 16;
inline constexpr uint32_t kPlistVersion = 1;
inline constexpr uint32_t kMessagePlist = 8;
// Requests are small plists; anything larger is not a client we can talk to.
inline constexpr uint32_t kMaxPacketLength = 1 << 20;

struct PacketHeader {
    uint32_t length = 0; // header included
    uint32_t version = 0;
    uint32_t message = 0;
    uint32_t tag = 0;
};

PacketHeader decodeHeader(std::span<const uint8_t, kHeaderSize> bytes);

// Header and payload in one buffer: the client reads the header with a single recv, so the
// whole packet has to leave in one write.
std::string encodePlistPacket(uint32_t tag, std::string_view xml);

} // namespace brimo::sim
