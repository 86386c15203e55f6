#pragma once

#include "shared/Bytes.h"
#include "shared/json/Uuid.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The contract between the bridge service and its clients: client roles, notification codes
// and the notification payloads, compiled by every deliverable.
namespace brimo {

enum class TarvelBridgeClientRole : int64_t { fileProvider = 0, desktopApp = 1, iOS = 2 };
std::optional<TarvelBridgeClientRole> tarvelBridgeClientRoleFromRaw(int64_t raw);

// Raw value 1 is not assigned.
enum class BridgeNotifyMessage : int64_t {
    bridgeStateChanged = 0,
    fileIOProgress = 2,
    itemMutation = 3,
    mountControl = 4
};
std::optional<BridgeNotifyMessage> bridgeNotifyMessageFromRaw(int64_t raw);

struct NotifyBridgeStateChangedPayload {
    int64_t source = 0; // a TarvelBridgeClientRole raw value: 0 extension, 2 phone link
    bool connected = false;
    bool operator==(const NotifyBridgeStateChangedPayload&) const = default;
};

struct FileIOProgressPayload {
    Uuid sessionID;
    uint64_t completedBytes = 0;
    uint64_t totalBytes = 0;
    uint8_t percent = 0;
    bool operator==(const FileIOProgressPayload&) const = default;
};

struct ItemMutationNotifyPayload {
    enum class Kind { created, deleted };
    Kind kind = Kind::created;
    std::string relayID;
    bool operator==(const ItemMutationNotifyPayload&) const = default;
};

struct MountControlNotifyPayload {
    enum class Action { mount, unmount };
    Action action = Action::mount;
    bool operator==(const MountControlNotifyPayload&) const = default;
};

Bytes encodeJson(const NotifyBridgeStateChangedPayload& payload);
Bytes encodeJson(const FileIOProgressPayload& payload);
Bytes encodeJson(const ItemMutationNotifyPayload& payload);
Bytes encodeJson(const MountControlNotifyPayload& payload);

std::optional<NotifyBridgeStateChangedPayload>
decodeNotifyBridgeStateChangedPayload(std::span<const uint8_t> json);
std::optional<FileIOProgressPayload> decodeFileIOProgressPayload(std::span<const uint8_t> json);
std::optional<ItemMutationNotifyPayload>
decodeItemMutationNotifyPayload(std::span<const uint8_t> json);
std::optional<MountControlNotifyPayload>
decodeMountControlNotifyPayload(std::span<const uint8_t> json);

} // namespace brimo
