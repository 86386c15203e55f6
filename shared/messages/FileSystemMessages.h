#pragma once

#include "shared/Bytes.h"
#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The drive's file-system requests: what the file-system extension asks of the phone application
// beyond a lookup (RelayLookupRequest, code 2) and whole-file contents (file IO). The service
// relays them unchanged with relayToUsbMux; only the extension and the phone read them.
//
// Identifiers are the phone's relay identifiers: a path relative to the phone's storage root,
// components joined by "/", the root itself being "". A name is one component: not empty, not
// "." or "..", no "/" and no NUL, at most 255 bytes of well-formed UTF-8. The phone refuses (status
// notFound) any identifier that would resolve outside its storage.
//
// Every document follows the lookup documents' conventions: JSON objects whose keys are the field
// names in the order listed, integers as numbers, Data as Base64, optional keys left out when
// absent, unknown keys ignored. A request does not decode when a field that holds a name (`name`,
// `newName`, `after`) is not a valid name, when `limit` is 0, or when a time to set has `tvNsec`
// outside 0 to 999,999,999.
//
//   code  request                        request document              response on status 0
//   ----  -----------------------------  ----------------------------  --------------------------
//      3  listDirectory                  RelayListDirectoryRequest     RelayDirectoryPage
//      4  createItem                     RelayCreateItemRequest        RelayItemSummary (new item)
//      5  removeItem                     RelayRemoveItemRequest        empty
//      7  renameItem                     RelayRenameItemRequest        RelayItemSummary (moved)
//      8  setAttributes                  RelaySetAttributesRequest     empty
//     10  volumeStatistics               empty                         RelayVolumeStatistics
//
// A directory is listed in pages in ascending byte order of the names: the first request has no
// `after`, each next one names the last filename of the previous page, until a page says
// `more` false. Each entry is a full RelayItemSummary, so that listing a directory with its
// attributes costs one exchange per page. The phone answers at most `limit` entries (it may
// answer fewer, at most 1000, and keeps a page under 4 MiB of JSON), and never lists the names
// of its own writes in progress. Symbolic links are listed as themselves.
//
// Removing or renaming an item ends the content writes in progress of that item, of what the new
// name held, and of anything beneath a moved or removed directory: their chunks and commits are
// answered notFound, so that a write never brings back an item that went away.
//
// Statuses (the phone's, passed through by the relay; 5 is never used since the relay reports any
// status above 9 as 5):
//   1 unsupported   the request code is not served
//   2 notFound      no such item or parent, or an identifier that leaves the storage
//   3 badRequest    the payload does not decode, a name is not a valid name (or one the phone
//                   keeps for itself), or the request cannot apply: removing or renaming the
//                   storage root, moving a directory into itself
//   4 wrongKind     a directory where a file is needed, or the other way round (listing a
//                   file, removing a directory as a file, replacing a file by a directory)
//   6 versionMismatch  (content writes only)
//   7 failed        the storage refused; the response may carry RelayFailure saying why
//   8 noStorage     the phone serves no storage
//   9 exists        createItem, or renameItem without replaceExisting, found the name taken
namespace brimo {

enum class FileSystemRequest : uint16_t {
    listDirectory = 3,
    createItem = 4,
    removeItem = 5,
    renameItem = 7,
    setAttributes = 8,
    volumeStatistics = 10,
};

enum class FileSystemStatus : uint16_t {
    ok = 0,
    unsupported = 1,
    notFound = 2,
    badRequest = 3,
    wrongKind = 4,
    versionMismatch = 6,
    failed = 7,
    noStorage = 8,
    exists = 9,
};

struct RelayListDirectoryRequest {
    std::string identifier;
    std::optional<std::string> after; // the last filename of the previous page
    uint32_t limit = 0;               // at least 1

    bool operator==(const RelayListDirectoryRequest&) const = default;
};

struct RelayDirectoryPage {
    std::vector<RelayItemSummary> items;
    bool more = false; // another page follows the last item

    bool operator==(const RelayDirectoryPage&) const = default;
};

struct RelayCreateItemRequest {
    std::string parentIdentifier;
    std::string name;
    bool isDirectory = false;
    uint32_t mode = 0; // permission bits (07777), given to the new item as they are; others ignored

    bool operator==(const RelayCreateItemRequest&) const = default;
};

struct RelayRemoveItemRequest {
    std::string identifier;
    // What the caller takes the item to be: a file is not removed as a directory, nor the other
    // way round (wrongKind). A directory must be empty (failed, reason notEmpty).
    bool isDirectory = false;

    bool operator==(const RelayRemoveItemRequest&) const = default;
};

struct RelayRenameItemRequest {
    std::string identifier;
    std::string newParentIdentifier;
    std::string newName;
    // Replace an item already at the new name (a file by a file, an empty directory by a
    // directory), as POSIX rename does; otherwise such a name is answered `exists`.
    bool replaceExisting = true;

    bool operator==(const RelayRenameItemRequest&) const = default;
};

// Changes only the attributes present, on the item itself: a symbolic link's own, never its
// target's. Sizes change through the content writes.
struct RelaySetAttributesRequest {
    std::string identifier;
    std::optional<uint32_t> mode; // permission bits (07777); others ignored
    std::optional<RelayTimespec> accessTime;
    std::optional<RelayTimespec> modifyTime;

    bool operator==(const RelaySetAttributesRequest&) const = default;
};

struct RelayVolumeStatistics {
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t availableBytes = 0; // free bytes an unprivileged writer may use
    uint64_t totalFiles = 0;
    uint64_t freeFiles = 0;
    uint32_t blockSize = 0;
    uint32_t maxNameLength = 0;

    bool operator==(const RelayVolumeStatistics&) const = default;
};

// Why the storage refused (status 7); the reason is one of the names below, and a reader maps a
// reason it does not know to a plain failure.
struct RelayFailure {
    std::string reason; // "notEmpty", "nameTooLong", "noSpace", "permissionDenied", "busy"

    bool operator==(const RelayFailure&) const = default;
};

Bytes encodeJson(const RelayListDirectoryRequest& request);
Bytes encodeJson(const RelayDirectoryPage& page);
Bytes encodeJson(const RelayCreateItemRequest& request);
Bytes encodeJson(const RelayRemoveItemRequest& request);
Bytes encodeJson(const RelayRenameItemRequest& request);
Bytes encodeJson(const RelaySetAttributesRequest& request);
Bytes encodeJson(const RelayVolumeStatistics& statistics);
Bytes encodeJson(const RelayFailure& failure);

std::optional<RelayListDirectoryRequest>
decodeRelayListDirectoryRequest(std::span<const uint8_t> json);
std::optional<RelayDirectoryPage> decodeRelayDirectoryPage(std::span<const uint8_t> json);
std::optional<RelayCreateItemRequest> decodeRelayCreateItemRequest(std::span<const uint8_t> json);
std::optional<RelayRemoveItemRequest> decodeRelayRemoveItemRequest(std::span<const uint8_t> json);
std::optional<RelayRenameItemRequest> decodeRelayRenameItemRequest(std::span<const uint8_t> json);
std::optional<RelaySetAttributesRequest>
decodeRelaySetAttributesRequest(std::span<const uint8_t> json);
std::optional<RelayVolumeStatistics> decodeRelayVolumeStatistics(std::span<const uint8_t> json);
std::optional<RelayFailure> decodeRelayFailure(std::span<const uint8_t> json);

// Whether `name` is one valid component of an identifier (see above).
bool isValidItemName(std::string_view name);
// The identifier of `name` inside `parent`.
std::string childIdentifier(const std::string& parent, const std::string& name);

} // namespace brimo
