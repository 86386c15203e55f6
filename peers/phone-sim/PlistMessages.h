#pragma once

#include "peers/phone-sim/DeviceRegistry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The XML plist payloads exchanged with libusbmuxd.
namespace brimo::sim {

struct UsbmuxRequest {
    std::string messageType;
    std::optional<uint64_t> deviceId;
    // Already converted back to host order (the client sends htons(port) as a plain integer).
    std::optional<uint16_t> port;
};

enum ResultCode : uint64_t {
    kResultOk = 0,
    kResultBadCommand = 1,
    kResultBadDevice = 2,
    kResultConnRefused = 3
};

// Nothing when the payload is not an XML plist dict with a string MessageType.
std::optional<UsbmuxRequest> parseRequest(std::string_view xml);

std::string resultXml(uint64_t number);
std::string deviceListXml(const std::vector<DeviceInfo>& devices);
std::string attachedXml(const DeviceInfo& device);
std::string detachedXml(uint32_t deviceId);
std::string buidXml(std::string_view buid);

} // namespace brimo::sim
