#include "shared/messages/RelayLookupMessages.h"

#include "shared/json/Base64.h"
#include "shared/json/JsonFields.h"
#include "shared/json/RawEnum.h"
#include "shared/messages/ItemSummaryJson.h"

#include <array>

namespace brimo {
namespace {

constexpr std::array<std::string_view, 4> sourceNames = {
    "fsGetAttributes",
    "fsLookupByName",
    "fsSetAttributesRefresh",
    "fsSetAttributesAfterTruncate",
};

RelayTimespec timespecAt(json::FieldReader& fields, const char* key) {
    json::FieldReader time = fields.object(key);
    return readTimespec(time);
}

} // namespace

nlohmann::ordered_json timespecObject(const RelayTimespec& time) {
    nlohmann::ordered_json object;
    object["tvSec"] = time.tvSec;
    object["tvNsec"] = time.tvNsec;
    return object;
}

RelayTimespec readTimespec(json::FieldReader& time) {
    return {time.int64("tvSec"), time.int32("tvNsec")};
}

nlohmann::ordered_json summaryObject(const RelayItemSummary& summary) {
    nlohmann::ordered_json document;
    document["identifier"] = summary.identifier;
    document["filename"] = summary.filename;
    document["isDirectory"] = summary.isDirectory;
    document["inode"] = summary.inode;
    document["size"] = summary.size;
    document["allocSize"] = summary.allocSize;
    document["mode"] = summary.mode;
    document["uid"] = summary.uid;
    document["gid"] = summary.gid;
    document["flags"] = summary.flags;
    document["linkCount"] = summary.linkCount;
    document["accessTime"] = timespecObject(summary.accessTime);
    document["modifyTime"] = timespecObject(summary.modifyTime);
    document["changeTime"] = timespecObject(summary.changeTime);
    document["birthTime"] = timespecObject(summary.birthTime);
    document["contentVersion"] = base64Encode(summary.contentVersion);
    document["metadataVersion"] = base64Encode(summary.metadataVersion);
    return document;
}

RelayItemSummary readSummary(json::FieldReader& fields) {
    return RelayItemSummary{
        .identifier = fields.string("identifier"),
        .filename = fields.string("filename"),
        .isDirectory = fields.boolean("isDirectory"),
        .inode = fields.uint64("inode"),
        .size = fields.uint64("size"),
        .allocSize = fields.uint64("allocSize"),
        .mode = fields.uint32("mode"),
        .uid = fields.uint32("uid"),
        .gid = fields.uint32("gid"),
        .flags = fields.uint32("flags"),
        .linkCount = fields.uint32("linkCount"),
        .accessTime = timespecAt(fields, "accessTime"),
        .modifyTime = timespecAt(fields, "modifyTime"),
        .changeTime = timespecAt(fields, "changeTime"),
        .birthTime = timespecAt(fields, "birthTime"),
        .contentVersion = fields.data("contentVersion"),
        .metadataVersion = fields.data("metadataVersion"),
    };
}

std::string_view toString(RelayLookupSource source) {
    return sourceNames.at(static_cast<size_t>(source));
}

std::optional<RelayLookupSource> relayLookupSourceFromString(std::string_view text) {
    for (size_t i = 0; i < sourceNames.size(); ++i)
        if (sourceNames[i] == text) return static_cast<RelayLookupSource>(i);
    return std::nullopt;
}

Bytes encodeJson(const RelayLookupRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    if (request.source) document["source"] = toString(*request.source);
    return json::serialize(document);
}

std::optional<RelayLookupRequest> decodeRelayLookupRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayLookupRequest>(bytes, [](json::FieldReader& fields) {
        RelayLookupRequest request{fields.string("identifier"), std::nullopt};
        if (const auto source = fields.optionalString("source")) {
            request.source = relayLookupSourceFromString(*source);
            if (!request.source) fields.fail();
        }
        return request;
    });
}

Bytes encodeJson(const RelayItemSummary& summary) {
    return json::serialize(summaryObject(summary));
}

std::optional<RelayItemSummary> decodeRelayItemSummary(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayItemSummary>(bytes, readSummary);
}

std::optional<UsbMuxRelayError> usbMuxRelayErrorFromRaw(int64_t raw) {
    return enumFromRaw(raw, UsbMuxRelayError::reserved12);
}

std::optional<RelayDeviceStatus> relayDeviceStatusFromRaw(int64_t raw) {
    return enumFromRaw(raw, RelayDeviceStatus::code9);
}

RelayDeviceStatus relayDeviceStatusFromResponse(uint16_t status) {
    return relayDeviceStatusFromRaw(status).value_or(RelayDeviceStatus::code5);
}

} // namespace brimo
