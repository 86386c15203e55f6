#pragma once

#include "shared/Bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The relay's lookup documents (JSON) and the codes it reports back to its caller.
namespace brimo {

// Which file-system operation caused a lookup; the JSON value is the case name.
enum class RelayLookupSource {
    fsGetAttributes,
    fsLookupByName,
    fsSetAttributesRefresh,
    fsSetAttributesAfterTruncate,
};

std::string_view toString(RelayLookupSource source);
std::optional<RelayLookupSource> relayLookupSourceFromString(std::string_view text);

struct RelayLookupRequest {
    std::string identifier;
    // None for a plain lookup; the key is then left out of the document.
    std::optional<RelayLookupSource> source;

    bool operator==(const RelayLookupRequest&) const = default;
};

struct RelayTimespec {
    int64_t tvSec = 0;  // seconds since 1970-01-01 00:00 UTC, negative before
    int32_t tvNsec = 0; // 0 to 999,999,999

    bool operator==(const RelayTimespec&) const = default;
};

// The attributes of one item as the phone reports them. The versions are opaque and only ever
// compared for equality.
struct RelayItemSummary {
    std::string identifier;
    std::string filename;
    bool isDirectory = false;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint64_t allocSize = 0;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t flags = 0;
    uint32_t linkCount = 0;
    RelayTimespec accessTime;
    RelayTimespec modifyTime;
    RelayTimespec changeTime;
    RelayTimespec birthTime;
    Bytes contentVersion;
    Bytes metadataVersion;

    bool operator==(const RelayItemSummary&) const = default;
};

Bytes encodeJson(const RelayLookupRequest& request);
std::optional<RelayLookupRequest> decodeRelayLookupRequest(std::span<const uint8_t> json);

Bytes encodeJson(const RelayItemSummary& summary);
std::optional<RelayItemSummary> decodeRelayItemSummary(std::span<const uint8_t> json);

// Second reply value of a relayed request. Only the codes with a name of their own are ever
// produced; the reserved ones complete the range that a client accepts.
enum class UsbMuxRelayError : int64_t {
    success = 0,
    notRegistered = 1, // the caller is not a registered client
    reserved2 = 2,
    noDevices = 3,    // no phone attached, or the transport found none
    notConnected = 4, // the tunnel to the phone could not be connected
    reserved5 = 5,
    reserved6 = 6,
    payloadTooLarge = 7, // the request payload exceeds 5 MiB
    tunnelIOFailed = 8,  // reading or writing the tunnel failed
    deviceStatus = 9,    // the phone answered with a non-zero RelayDeviceStatus
    reserved10 = 10,
    reserved11 = 11,
    reserved12 = 12,
};

std::optional<UsbMuxRelayError> usbMuxRelayErrorFromRaw(int64_t raw);

// The phone's answer status. The meanings of 1 to 9 belong to the phone application and are passed
// on unchanged; a status outside the range is reported as code5.
enum class RelayDeviceStatus : int64_t {
    success = 0,
    code1 = 1,
    code2 = 2,
    code3 = 3,
    code4 = 4,
    code5 = 5,
    code6 = 6,
    code7 = 7,
    code8 = 8,
    code9 = 9,
};

std::optional<RelayDeviceStatus> relayDeviceStatusFromRaw(int64_t raw);
// The status of a tunnel response frame as the relay reports it.
RelayDeviceStatus relayDeviceStatusFromResponse(uint16_t status);

} // namespace brimo
