#pragma once

#include "shared/messages/ChunkMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "shared/Bytes.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace brimo::sim {

// The phone app's answer statuses. 0 is success; the service passes 1 to 9 through to the
// file-system extension unchanged. 5 is left unused because the service also reports any
// status outside 0 to 9 as 5.
enum class PhoneStatus : uint16_t {
    ok = 0,
    unsupported = 1,     // a request code the app does not serve
    notFound = 2,        // no such item, or an identifier that would leave the storage
    badRequest = 3,      // the payload does not decode
    wrongKind = 4,       // a directory where a file is needed
    versionMismatch = 6, // a truncate whose expected content version is not the item's
    ioFailed = 7,        // the file system refused for another reason
    noStorage = 8,       // the simulator was started without --root
};

template <class T> using StorageResult = std::variant<PhoneStatus, T>;

// The writes of one connection to the phone app. From its truncate to its commit an item's new
// content lives in a staging file beside the item, which the commit renames over the item, so
// that the item is never seen half written. A staging file is discarded when its write is
// abandoned: a new truncate of the item, or the end of the connection (the host hung up, the
// stream was cut, the phone was detached).
class StagedWrites {
public:
    StagedWrites() = default;
    ~StagedWrites() { discardAll(); }
    StagedWrites(const StagedWrites&) = delete;
    StagedWrites& operator=(const StagedWrites&) = delete;

    void discardAll();
    size_t size() const { return staged_.size(); }

private:
    friend class PhoneStorage;
    struct Staging {
        int directoryFd; // the item's directory, where the staging file lies
        int fd;          // the staging file
        std::string stagingName;
        std::string itemName;
    };

    void discard(const std::string& identifier);
    // Forgets the write without touching the file system: its staging file became the item.
    void release(const std::string& identifier);

    std::map<std::string, Staging> staged_; // by relay identifier
};

// The phone's storage: a directory of this machine. Relay identifiers are paths relative to
// it ("" is the directory itself). Every item is opened beneath the root, so neither ".."
// nor a symbolic link can reach outside it. Names starting with ".brimo-staging-" belong to
// writes in progress: no identifier may name them.
class PhoneStorage {
public:
    // Throws std::system_error when `root` cannot be opened as a directory.
    explicit PhoneStorage(const std::string& root);
    ~PhoneStorage();
    PhoneStorage(const PhoneStorage&) = delete;
    PhoneStorage& operator=(const PhoneStorage&) = delete;

    // The item itself, not the target of a symbolic link.
    StorageResult<RelayItemSummary> lookup(std::string_view identifier) const;
    // At most min(maxLength, chunkSize) bytes, so the answer always fits one frame.
    StorageResult<ReadChunkResponse> read(std::string_view identifier, uint64_t offset,
                                          uint32_t maxLength) const;
    // Starts a write of `size` bytes in a new staging file of `writes`; the item itself, or its
    // absence, stays as it is until the commit. A missing item's content version is empty.
    PhoneStatus truncate(std::string_view identifier, uint64_t size,
                         const std::optional<Bytes>& expectedContentVersion, StagedWrites& writes);
    // Into the staging file of a write that `writes` began; without one the item is not found.
    StorageResult<RelayWriteChunkResponse> write(std::string_view identifier, uint64_t offset,
                                                 std::span<const uint8_t> data,
                                                 StagedWrites& writes);
    // Flushes the staging file and renames it over the item, replacing the item itself (a link
    // in its place is replaced, not followed), then describes the new item.
    StorageResult<RelayItemSummary> commit(std::string_view identifier, StagedWrites& writes);

private:
    class Item;

    StorageResult<Item> open(std::string_view identifier, int flags) const;
    // Like open(), but a directory is the wrong kind of item.
    StorageResult<Item> openFile(std::string_view identifier, int flags) const;

    int rootFd_;
    std::string rootName_;
};

} // namespace brimo::sim
