#include "service/tunnel/TunnelFrame.h"

namespace brimo {
namespace {

void putLE(Bytes& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t getLE(const Bytes& in, size_t at, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return value;
}

} // namespace

std::optional<Bytes> encodeTunnelFrameHeader(TunnelFrameKind kind, uint16_t code, uint32_t flowID,
                                             size_t payloadSize) {
    if (payloadSize > kTunnelMaxPayload || flowID == 0) return std::nullopt;
    Bytes header;
    header.reserve(kTunnelHeaderSize);
    putLE(header, kTunnelMagic, 4);
    header.push_back(static_cast<uint8_t>(kind));
    header.push_back(0);
    putLE(header, code, 2);
    putLE(header, flowID, 4);
    putLE(header, payloadSize, 4);
    return header;
}

std::optional<Bytes> encodeTunnelFrame(TunnelFrameKind kind, uint16_t code, uint32_t flowID,
                                       const Bytes& payload) {
    auto frame = encodeTunnelFrameHeader(kind, code, flowID, payload.size());
    if (frame) frame->insert(frame->end(), payload.begin(), payload.end());
    return frame;
}

std::optional<TunnelFrameHeader> decodeTunnelFrameHeader(const Bytes& raw) {
    if (raw.size() != kTunnelHeaderSize || getLE(raw, 0, 4) != kTunnelMagic) return std::nullopt;
    const uint8_t kind = raw[4];
    if (static_cast<uint8_t>(kind - 1) >= 5) return std::nullopt;
    TunnelFrameHeader header{kind, static_cast<uint16_t>(getLE(raw, 6, 2)), getLE(raw, 8, 4),
                             getLE(raw, 12, 4)};
    if (header.length > kTunnelMaxPayload) return std::nullopt;
    return header;
}

} // namespace brimo
