#pragma once

#include "shared/Bytes.h"

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <optional>
#include <string>

namespace brimo::fs {

// The bytes of one file of the drive, held on this machine by an open descriptor. A named file
// lies in the shared container (a work file that a write can hand to the service); an unnamed
// one exists only as long as it is open, so nothing is left behind, even by a crash.
class ContentFile {
public:
    ContentFile(int fd, std::string name);
    ~ContentFile();
    ContentFile(const ContentFile&) = delete;
    ContentFile& operator=(const ContentFile&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    bool writable() const { return !name_.empty(); }
    // -1 when the descriptor cannot be examined.
    int64_t size() const;
    // Removes the file's name; the bytes stay readable through the descriptor.
    void dropName();

private:
    int fd_;
    std::string name_;
};

// The drive's files on this machine: work files for writing, and a bounded cache of fetched
// contents by identifier and content version, so that reopening an unchanged file costs no
// transfer. Names it makes in the container start with "brimofs_"; leftovers of an earlier run
// are removed when the store is opened. Loop thread only, apart from the descriptors.
class ContentStore {
public:
    // Throws std::runtime_error when the container cannot be used or another extension holds it.
    explicit ContentStore(uint64_t cacheBytes);
    ~ContentStore();

    // The shared file a read session named, opened for reading.
    std::shared_ptr<ContentFile> openFetched(const std::string& fileName);
    // A new empty work file; none on failure (errno set).
    std::shared_ptr<ContentFile> newWorkFile();
    // A work file holding a copy of `source`; none on failure. Blocking: not for the loop.
    std::shared_ptr<ContentFile> copyToWorkFile(const ContentFile& source);
    // A second name of `work` for one write session to hand to the service, which removes it at
    // endWrite; none on failure.
    std::optional<std::string> nameForPush(const ContentFile& work);
    // Likewise for any file of the container's file system.
    std::optional<std::string> linkForPush(const std::filesystem::path& file);
    // Where a work file lies.
    std::filesystem::path pathOf(const ContentFile& work) const;

    std::shared_ptr<ContentFile> cached(const std::string& identifier, const Bytes& version);
    // Keeps unnamed content for `identifier`; the oldest entries go past the byte bound.
    void keep(const std::string& identifier, const Bytes& version,
              std::shared_ptr<ContentFile> content);
    // Drops what is cached for `identifier` and everything beneath it.
    void forget(const std::string& identifier);

    uint64_t cachedBytes() const { return cachedBytes_; }

private:
    struct Entry {
        std::string identifier;
        Bytes version;
        std::shared_ptr<ContentFile> content;
        uint64_t bytes;
    };

    int lockFd_ = -1;
    uint64_t cacheBytes_;
    uint64_t cachedBytes_ = 0;
    std::list<Entry> entries_; // most recently used first
};

} // namespace brimo::fs
