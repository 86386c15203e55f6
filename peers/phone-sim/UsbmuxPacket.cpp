#include "peers/phone-sim/UsbmuxPacket.h"

namespace brimo::sim {

namespace {

uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void appendLe32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>(value >> shift));
}

} // namespace

PacketHeader decodeHeader(std::span<const uint8_t, kHeaderSize> bytes) {
    const uint8_t* p = bytes.data();
    return {readLe32(p), readLe32(p + 4), readLe32(p + 8), readLe32(p + 12)};
}

std::string encodePlistPacket(uint32_t tag, std::string_view xml) {
    std::string packet;
    packet.reserve(kHeaderSize + xml.size());
    appendLe32(packet, static_cast<uint32_t>(kHeaderSize + xml.size()));
    appendLe32(packet, kPlistVersion);
    appendLe32(packet, kMessagePlist);
    appendLe32(packet, tag);
    packet.append(xml);
    return packet;
}

} // namespace brimo::sim
