#pragma once

#include "shared/Bytes.h"
#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Content written to the drive that is not on the phone yet, kept in the shared container so
// that it outlives the drive's process: a folder "kept-saves" (0700) in the container, with for
// each kept save a record "<id>.json" and its bytes "<id>.data". The drive writes them; anyone
// may list them (brimoctl does). A record is written whole under a temporary name and renamed
// into place, so a reader sees the old record or the new one.
namespace brimo {

struct KeptSave {
    std::string id;         // names the pair of files; a UUID string
    std::string identifier; // the item on the phone
    Bytes baseVersion;      // the item's content version that the bytes were written over
    // True once the program asked for the bytes to be saved (flush, fsync, close) and the phone
    // did not take them; false for bytes still being written when the drive went away, which
    // are never put over the item, only beside it.
    bool saveAsked = false;
    std::string reason;                      // why they wait, for people
    int64_t keptAt = 0;                      // seconds since 1970
    uint64_t size = 0;                       // bytes, when last recorded
    std::optional<RelayTimespec> accessTime; // times the program set, for after the save
    std::optional<RelayTimespec> modifyTime;
    std::optional<std::string> conflictCopy; // identifier of the copy beside the item, once chosen

    bool operator==(const KeptSave&) const = default;
};

Bytes encodeJson(const KeptSave& save);
std::optional<KeptSave> decodeKeptSave(std::span<const uint8_t> json);

class KeptSaves {
public:
    // The folder in the container; created (0700) unless `create` is false. Throws
    // std::runtime_error when it cannot be used (a link in its place, say).
    static std::filesystem::path folder(bool create = true);

    explicit KeptSaves(std::filesystem::path folder);

    // Every record that decodes, oldest first; records without their bytes are left out.
    std::vector<KeptSave> list() const;
    // Writes (or replaces) the record; false on failure. Durable when `sync`: the record and
    // its bytes reach the disk first.
    bool write(const KeptSave& save, bool sync) const;
    // Records `save` with the file at `path` as its bytes: a second name of that file, so that
    // writes to it go on landing there. False on failure.
    bool adopt(const KeptSave& save, const std::filesystem::path& path) const;
    // The record first, then its bytes.
    void remove(const std::string& id) const;
    std::filesystem::path dataPath(const std::string& id) const;

private:
    std::filesystem::path folder_;
};

} // namespace brimo
