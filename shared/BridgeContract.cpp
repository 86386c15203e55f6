#include "shared/BridgeContract.h"

#include "shared/json/JsonFields.h"
#include "shared/json/RawEnum.h"

#include <nlohmann/json.hpp>

namespace brimo {
namespace {

using Document = nlohmann::ordered_json;

const char* kindName(ItemMutationNotifyPayload::Kind kind) {
    return kind == ItemMutationNotifyPayload::Kind::created ? "created" : "deleted";
}

const char* actionName(MountControlNotifyPayload::Action action) {
    return action == MountControlNotifyPayload::Action::mount ? "mount" : "unmount";
}

} // namespace

std::optional<TarvelBridgeClientRole> tarvelBridgeClientRoleFromRaw(int64_t raw) {
    return enumFromRaw(raw, TarvelBridgeClientRole::iOS);
}

std::optional<BridgeNotifyMessage> bridgeNotifyMessageFromRaw(int64_t raw) {
    if (raw == 1) return std::nullopt;
    return enumFromRaw(raw, BridgeNotifyMessage::mountControl);
}

Bytes encodeJson(const NotifyBridgeStateChangedPayload& payload) {
    Document document;
    document["source"] = payload.source;
    document["connected"] = payload.connected;
    return json::serialize(document);
}

Bytes encodeJson(const FileIOProgressPayload& payload) {
    Document document;
    document["sessionID"] = payload.sessionID.toString();
    document["completedBytes"] = payload.completedBytes;
    document["totalBytes"] = payload.totalBytes;
    document["percent"] = payload.percent;
    return json::serialize(document);
}

Bytes encodeJson(const ItemMutationNotifyPayload& payload) {
    Document document;
    document["kind"] = kindName(payload.kind);
    document["relayID"] = payload.relayID;
    return json::serialize(document);
}

Bytes encodeJson(const MountControlNotifyPayload& payload) {
    Document document;
    document["action"] = actionName(payload.action);
    return json::serialize(document);
}

std::optional<NotifyBridgeStateChangedPayload>
decodeNotifyBridgeStateChangedPayload(std::span<const uint8_t> bytes) {
    return json::decodeDocument<NotifyBridgeStateChangedPayload>(bytes, [](auto& fields) {
        return NotifyBridgeStateChangedPayload{fields.int64("source"), fields.boolean("connected")};
    });
}

std::optional<FileIOProgressPayload> decodeFileIOProgressPayload(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIOProgressPayload>(bytes, [](json::FieldReader& fields) {
        FileIOProgressPayload payload{fields.uuid("sessionID"), fields.uint64("completedBytes"),
                                      fields.uint64("totalBytes"), 0};
        const uint32_t percent = fields.uint32("percent");
        if (percent > UINT8_MAX) fields.fail();
        payload.percent = static_cast<uint8_t>(percent);
        return payload;
    });
}

std::optional<ItemMutationNotifyPayload>
decodeItemMutationNotifyPayload(std::span<const uint8_t> bytes) {
    return json::decodeDocument<ItemMutationNotifyPayload>(bytes, [](json::FieldReader& fields) {
        ItemMutationNotifyPayload payload;
        const std::string kind = fields.string("kind");
        if (kind == "created")
            payload.kind = ItemMutationNotifyPayload::Kind::created;
        else if (kind == "deleted")
            payload.kind = ItemMutationNotifyPayload::Kind::deleted;
        else
            fields.fail();
        payload.relayID = fields.string("relayID");
        return payload;
    });
}

std::optional<MountControlNotifyPayload>
decodeMountControlNotifyPayload(std::span<const uint8_t> bytes) {
    return json::decodeDocument<MountControlNotifyPayload>(bytes, [](json::FieldReader& fields) {
        MountControlNotifyPayload payload;
        const std::string action = fields.string("action");
        if (action == "mount")
            payload.action = MountControlNotifyPayload::Action::mount;
        else if (action == "unmount")
            payload.action = MountControlNotifyPayload::Action::unmount;
        else
            fields.fail();
        return payload;
    });
}

} // namespace brimo
