#include "fuzz/FuzzCheck.h"
#include "peers/phone-sim/PlistMessages.h"
#include "peers/phone-sim/UsbmuxPacket.h"

#include <algorithm>
#include <cstring>
#include <plist/plist.h>

using namespace brimo;
using namespace brimo::sim;

namespace {

// A request written back the way libusbmuxd writes one, port in network order.
std::string requestXml(const UsbmuxRequest& request) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "MessageType", plist_new_string(request.messageType.c_str()));
    if (request.deviceId) plist_dict_set_item(root, "DeviceID", plist_new_uint(*request.deviceId));
    if (request.port)
        plist_dict_set_item(
            root, "PortNumber",
            plist_new_uint(static_cast<uint16_t>(*request.port << 8 | *request.port >> 8)));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string text(xml, length);
    plist_to_xml_free(xml);
    plist_free(root);
    return text;
}

void checkRequest(const std::string& payload) {
    const auto request = parseRequest(payload);
    // The C API cannot write a string with a NUL inside, so such a type is not written back.
    if (!request || request->messageType.find('\0') != std::string::npos) return;
    const auto again = parseRequest(requestXml(*request));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->messageType == request->messageType);
    FUZZ_CHECK(again->deviceId == request->deviceId);
    FUZZ_CHECK(again->port == request->port);
}

} // namespace

// A client's byte stream to the simulated daemon, split into packets the way its server loop
// reads them: a header, then the payload it announces, until a header it refuses or the end.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> stream(data, size);
    while (stream.size() >= kHeaderSize) {
        const PacketHeader header = decodeHeader(stream.first<kHeaderSize>());
        if (header.length < kHeaderSize || header.length > kMaxPacketLength) break;
        if (stream.size() < header.length) break;
        const std::string payload(stream.begin() + kHeaderSize, stream.begin() + header.length);
        stream = stream.subspan(header.length);

        const std::string packet = encodePlistPacket(header.tag, payload);
        std::array<uint8_t, kHeaderSize> written;
        std::memcpy(written.data(), packet.data(), kHeaderSize);
        const PacketHeader again = decodeHeader(written);
        FUZZ_CHECK(again.length == header.length && again.tag == header.tag);
        FUZZ_CHECK(again.version == kPlistVersion && again.message == kMessagePlist);
        FUZZ_CHECK(packet.substr(kHeaderSize) == payload);

        if (header.message == kMessagePlist) checkRequest(payload);
    }
    return 0;
}
