#pragma once

#include "shared/Bytes.h"

#include <cstdint>
#include <optional>

// The tunnel's wire format: a 16-byte little-endian header ("PRTU", kind, reserved, code,
// flow id, payload length) followed by exactly `length` payload bytes.
namespace brimo {

inline constexpr uint32_t kTunnelMaxPayload = 5242880; // 5 MiB
inline constexpr size_t kTunnelHeaderSize = 16;
inline constexpr uint32_t kTunnelMagic = 0x55545250; // "PRTU" read little-endian

enum class TunnelFrameKind : uint8_t { request = 1, response = 2, notify = 3 };

struct TunnelFrameHeader {
    uint8_t kind; // the wire byte: 1 request, 2 response, 3 notify; 4 and 5 pass validation
    uint16_t code;
    uint32_t flowID;
    uint32_t length;
};

// The 16 header bytes of a frame whose payload is `payloadSize` bytes; none when the payload is
// over 5 MiB or the flow id is 0. The payload follows as it is, never copied behind the header.
std::optional<Bytes> encodeTunnelFrameHeader(TunnelFrameKind kind, uint16_t code, uint32_t flowID,
                                             size_t payloadSize);
// Header and payload in one buffer.
std::optional<Bytes> encodeTunnelFrame(TunnelFrameKind kind, uint16_t code, uint32_t flowID,
                                       const Bytes& payload);

// None unless `raw` is exactly 16 bytes with the magic, a kind byte b with (b - 1) mod 256 < 5
// and a length within 5 MiB. The reserved byte is ignored.
std::optional<TunnelFrameHeader> decodeTunnelFrameHeader(const Bytes& raw);

} // namespace brimo
