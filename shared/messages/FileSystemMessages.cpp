#include "shared/messages/FileSystemMessages.h"

#include "shared/json/JsonFields.h"
#include "shared/messages/ItemSummaryJson.h"

#include <nlohmann/json.hpp>

namespace brimo {
namespace {

constexpr size_t kMaxNameBytes = 255;

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length;
        uint32_t low = 0x80, high = 0xBF; // the range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

// A timespec a request may set: the nanoseconds within one second.
std::optional<RelayTimespec> readSettableTime(json::FieldReader& fields, const char* key) {
    auto time =
        fields.optionalObject(key, [](json::FieldReader& time) { return readTimespec(time); });
    if (time && (time->tvNsec < 0 || time->tvNsec > 999'999'999)) fields.fail();
    return time;
}

// A name the request carries; an invalid one fails the document.
std::string readName(json::FieldReader& fields, const char* key) {
    std::string name = fields.string(key);
    if (!fields.failed() && !isValidItemName(name)) fields.fail();
    return name;
}

} // namespace

bool isValidItemName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos && isUtf8(name);
}

std::string childIdentifier(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

Bytes encodeJson(const RelayListDirectoryRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    if (request.after) document["after"] = *request.after;
    document["limit"] = request.limit;
    return json::serialize(document);
}

std::optional<RelayListDirectoryRequest>
decodeRelayListDirectoryRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayListDirectoryRequest>(bytes, [](json::FieldReader& fields) {
        RelayListDirectoryRequest request{
            .identifier = fields.string("identifier"),
            .after = fields.optionalString("after"),
            .limit = fields.uint32("limit"),
        };
        // A page of no entries could never end the listing.
        if (request.limit == 0 || (request.after && !isValidItemName(*request.after)))
            fields.fail();
        return request;
    });
}

Bytes encodeJson(const RelayDirectoryPage& page) {
    nlohmann::ordered_json document;
    auto& items = document["items"] = nlohmann::ordered_json::array();
    for (const RelayItemSummary& item : page.items)
        items.push_back(summaryObject(item));
    document["more"] = page.more;
    return json::serialize(document);
}

std::optional<RelayDirectoryPage> decodeRelayDirectoryPage(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayDirectoryPage>(bytes, [](json::FieldReader& fields) {
        RelayDirectoryPage page;
        fields.objects("items",
                       [&](json::FieldReader& item) { page.items.push_back(readSummary(item)); });
        page.more = fields.boolean("more");
        return page;
    });
}

Bytes encodeJson(const RelayCreateItemRequest& request) {
    nlohmann::ordered_json document;
    document["parentIdentifier"] = request.parentIdentifier;
    document["name"] = request.name;
    document["isDirectory"] = request.isDirectory;
    document["mode"] = request.mode;
    return json::serialize(document);
}

std::optional<RelayCreateItemRequest> decodeRelayCreateItemRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayCreateItemRequest>(bytes, [](json::FieldReader& fields) {
        return RelayCreateItemRequest{
            .parentIdentifier = fields.string("parentIdentifier"),
            .name = readName(fields, "name"),
            .isDirectory = fields.boolean("isDirectory"),
            .mode = fields.uint32("mode"),
        };
    });
}

Bytes encodeJson(const RelayRemoveItemRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    document["isDirectory"] = request.isDirectory;
    return json::serialize(document);
}

std::optional<RelayRemoveItemRequest> decodeRelayRemoveItemRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayRemoveItemRequest>(bytes, [](json::FieldReader& fields) {
        return RelayRemoveItemRequest{fields.string("identifier"), fields.boolean("isDirectory")};
    });
}

Bytes encodeJson(const RelayRenameItemRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    document["newParentIdentifier"] = request.newParentIdentifier;
    document["newName"] = request.newName;
    document["replaceExisting"] = request.replaceExisting;
    return json::serialize(document);
}

std::optional<RelayRenameItemRequest> decodeRelayRenameItemRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayRenameItemRequest>(bytes, [](json::FieldReader& fields) {
        return RelayRenameItemRequest{
            .identifier = fields.string("identifier"),
            .newParentIdentifier = fields.string("newParentIdentifier"),
            .newName = readName(fields, "newName"),
            .replaceExisting = fields.boolean("replaceExisting"),
        };
    });
}

Bytes encodeJson(const RelaySetAttributesRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    if (request.mode) document["mode"] = *request.mode;
    if (request.accessTime) document["accessTime"] = timespecObject(*request.accessTime);
    if (request.modifyTime) document["modifyTime"] = timespecObject(*request.modifyTime);
    return json::serialize(document);
}

std::optional<RelaySetAttributesRequest>
decodeRelaySetAttributesRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelaySetAttributesRequest>(bytes, [](json::FieldReader& fields) {
        return RelaySetAttributesRequest{
            .identifier = fields.string("identifier"),
            .mode = fields.optionalUint32("mode"),
            .accessTime = readSettableTime(fields, "accessTime"),
            .modifyTime = readSettableTime(fields, "modifyTime"),
        };
    });
}

Bytes encodeJson(const RelayVolumeStatistics& statistics) {
    nlohmann::ordered_json document;
    document["totalBytes"] = statistics.totalBytes;
    document["freeBytes"] = statistics.freeBytes;
    document["availableBytes"] = statistics.availableBytes;
    document["totalFiles"] = statistics.totalFiles;
    document["freeFiles"] = statistics.freeFiles;
    document["blockSize"] = statistics.blockSize;
    document["maxNameLength"] = statistics.maxNameLength;
    return json::serialize(document);
}

std::optional<RelayVolumeStatistics> decodeRelayVolumeStatistics(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayVolumeStatistics>(bytes, [](json::FieldReader& fields) {
        return RelayVolumeStatistics{
            .totalBytes = fields.uint64("totalBytes"),
            .freeBytes = fields.uint64("freeBytes"),
            .availableBytes = fields.uint64("availableBytes"),
            .totalFiles = fields.uint64("totalFiles"),
            .freeFiles = fields.uint64("freeFiles"),
            .blockSize = fields.uint32("blockSize"),
            .maxNameLength = fields.uint32("maxNameLength"),
        };
    });
}

Bytes encodeJson(const RelayFailure& failure) {
    nlohmann::ordered_json document;
    document["reason"] = failure.reason;
    return json::serialize(document);
}

std::optional<RelayFailure> decodeRelayFailure(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayFailure>(
        bytes, [](json::FieldReader& fields) { return RelayFailure{fields.string("reason")}; });
}

} // namespace brimo
