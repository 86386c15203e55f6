#pragma once

#include "extension/RangeSet.h"
#include "shared/Bytes.h"

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace brimo::fs {

// The bytes of one file of the drive, held on this machine in a file of the shared container,
// named so that a write can hand it to the service; the name goes with the object, and what a
// crash leaves is removed at the next start.
//
// The phone's bytes arrive range by range: the file is created at the phone's size and knows
// which ranges are here. Bytes a program writes are here from then on, and the phone's are never
// put over them; bytes past a size the file was truncated to are never needed from the phone.
// Thread-safe: the kernel's threads read and write while the loop fills in.
class ContentFile {
public:
    // A file all of whose bytes are here.
    ContentFile(int fd, std::string name);
    // A file of `phoneSize` bytes of which none are here yet.
    ContentFile(int fd, std::string name, uint64_t phoneSize);
    ~ContentFile();
    ContentFile(const ContentFile&) = delete;
    ContentFile& operator=(const ContentFile&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    // -1 when the descriptor cannot be examined.
    int64_t size() const;

    // The pieces of `range` that still have to come from the phone.
    std::vector<ByteRange> missing(ByteRange range) const;
    bool complete() const;
    // How far bytes of the phone may still be needed.
    uint64_t phoneBytes() const;
    // Bytes that take room here.
    uint64_t presentBytes() const;

    // A program's write; the count written, or -1 with errno set.
    ssize_t write(const char* data, size_t size, off_t offset);
    // 0, or -1 with errno set.
    int truncate(uint64_t size);
    // The phone's bytes at `offset`, wherever no program wrote; 0 or an errno.
    int fill(uint64_t offset, std::span<const uint8_t> data);

private:
    int fd_;
    std::string name_;
    mutable std::mutex mutex_;
    RangeSet present_;    // of the bytes below phoneBytes_
    uint64_t phoneBytes_; // the phone's bytes below this that are not present are missing
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

    // A new empty work file; none on failure (errno set).
    std::shared_ptr<ContentFile> newWorkFile();
    // A new work file for the phone's `size` bytes, none of them here yet; none on failure.
    std::shared_ptr<ContentFile> newPhoneFile(uint64_t size);
    // A second name of `work` for one write session to hand to the service, which removes it at
    // endWrite; none on failure.
    std::optional<std::string> nameForPush(const ContentFile& work);
    // Likewise for any file of the container's file system.
    std::optional<std::string> linkForPush(const std::filesystem::path& file);
    // Where a work file lies.
    std::filesystem::path pathOf(const ContentFile& work) const;

    std::shared_ptr<ContentFile> cached(const std::string& identifier, const Bytes& version);
    // Keeps content for `identifier`, complete or not; the oldest entries go past the byte
    // bound. A cached file is no one's to write: a writer takes it out first (forget).
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
