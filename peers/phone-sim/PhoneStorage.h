#pragma once

#include "peers/phone-sim/BackgroundFlusher.h"
#include "shared/Bytes.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brimo::sim {

// How the storage answered a request: a status, and for `failed` the reason when one applies,
// which the phone app sends as the answer's RelayFailure.
struct StorageStatus {
    StorageStatus(FileSystemStatus code = FileSystemStatus::ok,
                  std::optional<RelayFailure> failure = std::nullopt)
        : code(code)
        , failure(std::move(failure)) {}

    bool ok() const { return code == FileSystemStatus::ok; }
    bool operator==(const StorageStatus&) const = default;

    FileSystemStatus code;
    std::optional<RelayFailure> failure;
};

// A result, or the status (never ok) that refused it.
template <class T> using StorageResult = std::variant<StorageStatus, T>;

// Identifies a file across renames: its device and inode.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;

    bool operator==(const FileId&) const = default;
};

// The writes of one connection to the phone app. From its truncate to its commit an item's new
// content lives in a staging file beside the item, which the commit renames over the item, so
// that the item is never seen half written. A staging file is discarded when its write is
// abandoned: a new truncate of the item, or the end of the connection (the host hung up, the
// stream was cut, the phone was detached). A write also ends when any connection removes or
// renames its item (or a directory it lies in): the staging file goes at once, and the write's
// chunks and commit find nothing, so the item never comes back.
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
        Staging(int directoryFd, FileId directory, std::string itemName)
            : directoryFd(directoryFd)
            , directory(directory)
            , itemName(std::move(itemName)) {}
        ~Staging();
        Staging(const Staging&) = delete;
        Staging& operator=(const Staging&) = delete;

        int directoryFd; // the item's directory, where the staging file lies
        FileId directory;
        std::string itemName;
        int fd = -1; // the staging file
        std::string stagingName;
        bool ended = false; // the item went away: the staging file is already removed
    };

    void discard(const std::string& identifier);
    // Forgets the write without touching the file system: its staging file became the item, or
    // went with the item.
    void release(const std::string& identifier);

    // By relay identifier; shared with the storage, which ends writes whose item goes away.
    std::map<std::string, std::shared_ptr<Staging>> staged_;
};

// The phone's storage: a directory of this machine. Relay identifiers are paths relative to
// it ("" is the directory itself), valid names joined by "/". Every item is opened beneath the
// root, so neither ".." nor a symbolic link can reach outside it; the operations that create,
// remove or rename a name open its parent beneath the root and act on the last component there.
// Names starting with ".brimo-staging-" belong to writes in progress: no identifier may name
// them, no request may create them and no listing shows them.
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
    StorageStatus truncate(std::string_view identifier, uint64_t size,
                           const std::optional<Bytes>& expectedContentVersion,
                           StagedWrites& writes);
    // Into the staging file of a write that `writes` began; without one the item is not found.
    StorageResult<RelayWriteChunkResponse> write(std::string_view identifier, uint64_t offset,
                                                 std::span<const uint8_t> data,
                                                 StagedWrites& writes);
    // Flushes the staging file and renames it over the item, replacing the item itself (a link
    // in its place is replaced, not followed), then describes the new item.
    StorageResult<RelayItemSummary> commit(std::string_view identifier, StagedWrites& writes);

    // The names after `after` in ascending byte order, each described as lookup describes it;
    // at most min(limit, kMaxPageEntries) of them, and fewer when more would not keep the
    // page's JSON under kMaxPageBytes.
    StorageResult<RelayDirectoryPage> list(const RelayListDirectoryRequest& request) const;
    // A new file or directory with exactly the request's permission bits (no umask applies).
    StorageResult<RelayItemSummary> create(const RelayCreateItemRequest& request);
    // A directory must be empty; files of writes in progress in it do not count, and go.
    StorageStatus remove(const RelayRemoveItemRequest& request);
    // Answers the moved item under its new identifier.
    StorageResult<RelayItemSummary> rename(const RelayRenameItemRequest& request);
    // The attributes of the item itself, a link's own times included.
    StorageStatus setAttributes(const RelaySetAttributesRequest& request);
    StorageResult<RelayVolumeStatistics> volumeStatistics() const;

    static constexpr uint32_t kMaxPageEntries = 1000;
    static constexpr size_t kMaxPageBytes = 4 * 1024 * 1024;

private:
    class Item;
    struct Location;

    StorageResult<Item> open(std::string_view identifier, int flags) const;
    // Like open(), but a directory is the wrong kind of item.
    StorageResult<Item> openFile(std::string_view identifier, int flags) const;
    // The directory itself (not a link to one), as an O_PATH descriptor.
    StorageResult<Item> openDirectory(std::string_view identifier) const;
    // The directory holding the item and the item's name in it; the root is "." in itself.
    StorageResult<Location> locate(std::string_view identifier) const;

    // Whether the directory open at `directory` is `ancestor` or lies beneath it.
    bool isWithin(int directory, FileId ancestor) const;
    // Ends the writes in progress of any connection that `matches`: their staging files go, and
    // their chunks and commits find nothing.
    void endWrites(const std::function<bool(const StagedWrites::Staging&)>& matches);
    // Ends the writes of the item `name` in `directory`.
    void endWritesOf(FileId directory, std::string_view name);
    // Ends the writes in progress in the directory `directory` or beneath it.
    void endWritesWithin(FileId directory);
    // Removes the staging files in the directory `name`, ending their writes, when the directory
    // holds nothing else; false when it holds anything else or cannot be read.
    bool clearStagingOnly(int parent, const std::string& name);

    int rootFd_;
    FileId rootId_;
    std::string rootName_;
    // Every connection's writes in progress, to end those whose item is removed or renamed.
    std::vector<std::weak_ptr<StagedWrites::Staging>> staged_;
    // Each written chunk heads for the disk while the next one crosses the link, so that a
    // commit's fsync does not pay for the whole file at once.
    BackgroundFlusher flusher_;
};

} // namespace brimo::sim
