#include "peers/phone-sim/PhoneStorage.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/openat2.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace brimo::sim {

namespace {

constexpr mode_t kNewFileMode = 0644;
constexpr std::string_view kStagingPrefix = ".brimo-staging-";
// Deeper than any path the kernel resolves; bounds the walk up from a directory.
constexpr int kMaxDepth = 4096;

bool isStagingName(std::string_view name) {
    return name.starts_with(kStagingPrefix);
}

// "" or valid names joined by "/", none of them a write in progress.
bool validIdentifier(std::string_view identifier) {
    if (identifier.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t end = identifier.find('/', start);
        const std::string_view component = identifier.substr(start, end - start);
        if (!isValidItemName(component) || isStagingName(component)) return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

std::string_view lastComponent(std::string_view identifier) {
    const size_t slash = identifier.rfind('/');
    return slash == std::string_view::npos ? identifier : identifier.substr(slash + 1);
}

StorageStatus failedBecause(const char* reason) {
    return {FileSystemStatus::failed, RelayFailure{reason}};
}

// The one place where the file system's refusals become the phone's statuses.
StorageStatus statusOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EXDEV: // the path tried to leave the root
    case ELOOP:
        return FileSystemStatus::notFound;
    case EISDIR:
        return FileSystemStatus::wrongKind;
    case EEXIST:
        return FileSystemStatus::exists;
    case ENOTEMPTY:
        return failedBecause("notEmpty");
    case ENAMETOOLONG:
        return failedBecause("nameTooLong");
    case ENOSPC:
    case EDQUOT:
        return failedBecause("noSpace");
    case EACCES:
    case EPERM:
        return failedBecause("permissionDenied");
    case EBUSY:
        return failedBecause("busy");
    default:
        return FileSystemStatus::failed;
    }
}

// Owns one descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1)
        : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Resolves `path` beneath `root` the way the kernel does for a confined lookup.
int openBeneathOnce(int root, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? kNewFileMode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

// Likewise for a path longer than one call may name (PATH_MAX): the storage holds such paths,
// so they are walked a stretch of folders at a time, each beneath the one before.
int openBeneath(int root, const std::string& path, int flags) {
    constexpr size_t kStretch = PATH_MAX - 1;
    if (path.size() <= kStretch) return openBeneathOnce(root, path, flags);
    const size_t cut = path.rfind('/', kStretch);
    if (cut == std::string::npos || cut == 0) {
        errno = ENAMETOOLONG; // one name longer than any stretch
        return -1;
    }
    UniqueFd folder(openBeneathOnce(root, path.substr(0, cut), O_PATH | O_DIRECTORY));
    if (!folder) return -1;
    return openBeneath(folder.get(), path.substr(cut + 1), flags);
}

// The item `name` in `directory` itself, or the item open at `directory` when `name` is "".
int statItem(int directory, const std::string& name, struct statx& sx) {
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    return statx(directory, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &sx);
}

FileId idOf(const struct statx& sx) {
    return {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
}

std::optional<FileId> idOf(int fd) {
    struct statx sx {};
    if (statItem(fd, "", sx) != 0) return std::nullopt;
    return idOf(sx);
}

RelayTimespec timespecOf(const statx_timestamp& t) {
    return {t.tv_sec, static_cast<int32_t>(t.tv_nsec)};
}

int64_t nanoseconds(const statx_timestamp& t) {
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

void appendLittleEndian(Bytes& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The content version changes with the data (size, modification time) and when another file
// takes the name; the metadata version with ownership, permissions and the change time.
Bytes contentVersionOf(const struct statx& sx) {
    Bytes version;
    appendLittleEndian(version, sx.stx_ino, 8);
    appendLittleEndian(version, sx.stx_size, 8);
    appendLittleEndian(version, static_cast<uint64_t>(nanoseconds(sx.stx_mtime)), 8);
    return version;
}

Bytes metadataVersionOf(const struct statx& sx) {
    Bytes version;
    appendLittleEndian(version, sx.stx_mode, 4);
    appendLittleEndian(version, sx.stx_uid, 4);
    appendLittleEndian(version, sx.stx_gid, 4);
    appendLittleEndian(version, static_cast<uint64_t>(nanoseconds(sx.stx_ctime)), 8);
    return version;
}

RelayItemSummary summaryOf(const struct statx& sx, const std::string& identifier,
                           const std::string& filename) {
    RelayItemSummary s;
    s.identifier = identifier;
    s.filename = filename;
    s.isDirectory = S_ISDIR(sx.stx_mode);
    s.inode = sx.stx_ino;
    s.size = sx.stx_size;
    s.allocSize = sx.stx_blocks * 512;
    s.mode = sx.stx_mode;
    s.uid = sx.stx_uid;
    s.gid = sx.stx_gid;
    s.linkCount = sx.stx_nlink;
    s.accessTime = timespecOf(sx.stx_atime);
    s.modifyTime = timespecOf(sx.stx_mtime);
    s.changeTime = timespecOf(sx.stx_ctime);
    // Not every file system records a birth time.
    s.birthTime = timespecOf((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
    s.contentVersion = contentVersionOf(sx);
    s.metadataVersion = metadataVersionOf(sx);
    return s;
}

// The item `name` in `directory` (the one open at `directory` when `name` is ""), reported
// under `identifier` and `filename`.
StorageResult<RelayItemSummary> describe(int directory, const std::string& name,
                                         const std::string& identifier,
                                         const std::string& filename) {
    struct statx sx {};
    if (statItem(directory, name, sx) != 0) return statusOf(errno);
    return summaryOf(sx, identifier, filename);
}

// A new, empty staging file in `directory`; the random part keeps concurrent writes of the same
// item apart, O_EXCL keeps an existing name from being reused.
int createStagingFile(int directory, std::string& name) {
    static std::mt19937_64 generator{std::random_device{}()};
    for (int attempt = 0; attempt < 8; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx",
                      static_cast<unsigned long long>(generator()));
        name = std::string(kStagingPrefix) + suffix;
        const int fd = ::openat(directory, name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// The names in the directory open at `directory`, "." and ".." left out; none when it cannot
// be read, with errno set.
std::optional<std::vector<std::string>> namesIn(int directory) {
    const int readable = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0) return std::nullopt;
    DIR* stream = ::fdopendir(readable);
    if (stream == nullptr) {
        ::close(readable);
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) break;
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return names;
}

timespec timeOrOmit(const std::optional<RelayTimespec>& time) {
    if (!time) return {0, UTIME_OMIT};
    return {static_cast<time_t>(time->tvSec), time->tvNsec};
}

} // namespace

StagedWrites::Staging::~Staging() {
    if (fd >= 0) ::close(fd);
    ::close(directoryFd);
}

void StagedWrites::discard(const std::string& identifier) {
    const auto staged = staged_.find(identifier);
    if (staged == staged_.end()) return;
    const Staging& staging = *staged->second;
    if (!staging.ended) ::unlinkat(staging.directoryFd, staging.stagingName.c_str(), 0);
    release(identifier);
}

void StagedWrites::release(const std::string& identifier) {
    staged_.erase(identifier);
}

void StagedWrites::discardAll() {
    while (!staged_.empty())
        discard(staged_.begin()->first);
}

// One opened item: its descriptor and the names it is reported under.
class PhoneStorage::Item {
public:
    Item(int fd, std::string identifier, std::string filename)
        : fd_(fd)
        , identifier_(std::move(identifier))
        , filename_(std::move(filename)) {}

    int fd() const { return fd_.get(); }

    std::optional<struct statx> status() const {
        struct statx sx {};
        if (statItem(fd(), "", sx) != 0) return std::nullopt;
        return sx;
    }

    StorageResult<RelayItemSummary> summary() const {
        return describe(fd(), "", identifier_, filename_);
    }

private:
    UniqueFd fd_;
    std::string identifier_;
    std::string filename_;
};

// Where an item's name lies: the directory holding it, opened beneath the root, and the name.
struct PhoneStorage::Location {
    UniqueFd parent;
    std::string name;
    std::string identifier;

    int fd() const { return parent.get(); }
};

PhoneStorage::PhoneStorage(const std::string& root)
    : rootFd_(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))
    , rootName_(std::filesystem::absolute(root).lexically_normal().filename().string()) {
    if (rootFd_ < 0) throw std::system_error(errno, std::generic_category(), root);
    const auto id = idOf(rootFd_);
    if (!id) {
        const int error = errno;
        ::close(rootFd_);
        throw std::system_error(error, std::generic_category(), root);
    }
    rootId_ = *id;
    // "/srv/phone/" normalises to an empty last component; report the directory's own name.
    if (rootName_.empty())
        rootName_ = std::filesystem::absolute(root).lexically_normal().parent_path().filename();
}

PhoneStorage::~PhoneStorage() {
    ::close(rootFd_);
}

StorageResult<PhoneStorage::Item> PhoneStorage::open(std::string_view identifier, int flags) const {
    if (!validIdentifier(identifier)) return FileSystemStatus::notFound;
    const std::string path = identifier.empty() ? "." : std::string(identifier);
    int fd = openBeneath(rootFd_, path, flags);
    if (fd < 0) return statusOf(errno);
    std::string filename(identifier.empty() ? rootName_ : lastComponent(identifier));
    return Item(fd, std::string(identifier), std::move(filename));
}

StorageResult<PhoneStorage::Item> PhoneStorage::openFile(std::string_view identifier,
                                                         int flags) const {
    auto opened = open(identifier, flags);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    auto sx = std::get<Item>(opened).status();
    if (!sx) return statusOf(errno);
    if (S_ISDIR(sx->stx_mode)) return FileSystemStatus::wrongKind;
    return opened;
}

StorageResult<PhoneStorage::Item> PhoneStorage::openDirectory(std::string_view identifier) const {
    auto opened = open(identifier, O_PATH | O_NOFOLLOW);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    auto sx = std::get<Item>(opened).status();
    if (!sx) return statusOf(errno);
    if (!S_ISDIR(sx->stx_mode)) return FileSystemStatus::wrongKind;
    return opened;
}

StorageResult<PhoneStorage::Location> PhoneStorage::locate(std::string_view identifier) const {
    if (!validIdentifier(identifier)) return FileSystemStatus::notFound;
    const std::string id(identifier);
    if (identifier.empty()) return Location{UniqueFd(::dup(rootFd_)), ".", id};
    const size_t slash = identifier.rfind('/');
    const std::string parent(slash == std::string_view::npos ? "." : identifier.substr(0, slash));
    UniqueFd fd(openBeneath(rootFd_, parent, O_PATH | O_DIRECTORY));
    if (!fd) return statusOf(errno);
    return Location{std::move(fd), std::string(lastComponent(identifier)), id};
}

bool PhoneStorage::isWithin(int directory, FileId ancestor) const {
    UniqueFd current(::openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (int depth = 0; current && depth < kMaxDepth; ++depth) {
        const auto id = idOf(current.get());
        if (!id) return false;
        if (*id == ancestor) return true;
        if (*id == rootId_) return false;
        UniqueFd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        // A directory that was removed has no way up; the file system's root is its own parent.
        if (!parent || idOf(parent.get()) == id) return false;
        current = std::move(parent);
    }
    return false;
}

void PhoneStorage::endWrites(const std::function<bool(const StagedWrites::Staging&)>& matches) {
    std::erase_if(staged_, [&](const std::weak_ptr<StagedWrites::Staging>& weak) {
        const auto staging = weak.lock();
        if (!staging) return true;
        if (!staging->ended && matches(*staging)) {
            ::unlinkat(staging->directoryFd, staging->stagingName.c_str(), 0);
            staging->ended = true;
        }
        return false;
    });
}

void PhoneStorage::endWritesOf(FileId directory, std::string_view name) {
    endWrites([&](const StagedWrites::Staging& staging) {
        return staging.directory == directory && staging.itemName == name;
    });
}

void PhoneStorage::endWritesWithin(FileId directory) {
    endWrites([&](const StagedWrites::Staging& staging) {
        return isWithin(staging.directoryFd, directory);
    });
}

bool PhoneStorage::clearStagingOnly(int parent, const std::string& name) {
    UniqueFd directory(
        ::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return false;
    const auto names = namesIn(directory.get());
    const auto id = idOf(directory.get());
    if (!names || !id || !std::all_of(names->begin(), names->end(), isStagingName)) return false;
    endWritesWithin(*id);
    // What is left belongs to no write of this process: a crash left it behind.
    for (const std::string& staging : *names)
        ::unlinkat(directory.get(), staging.c_str(), 0);
    return true;
}

StorageResult<RelayItemSummary> PhoneStorage::lookup(std::string_view identifier) const {
    auto item = open(identifier, O_PATH | O_NOFOLLOW);
    if (auto* failed = std::get_if<StorageStatus>(&item)) return *failed;
    return std::get<Item>(item).summary();
}

StorageResult<ReadChunkResponse> PhoneStorage::read(std::string_view identifier, uint64_t offset,
                                                    uint32_t maxLength) const {
    auto opened = openFile(identifier, O_RDONLY);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    const Item& item = std::get<Item>(opened);

    ReadChunkResponse response;
    response.data.resize(std::min(maxLength, chunkSize));
    size_t got = 0;
    while (got < response.data.size()) {
        ssize_t n = pread(item.fd(), response.data.data() + got, response.data.size() - got,
                          static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return statusOf(errno);
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    response.data.resize(got);
    response.nextOffset = offset + got;
    // The size after the read, so that a file growing meanwhile is not cut short.
    auto sx = item.status();
    if (!sx) return statusOf(errno);
    response.eof = response.nextOffset >= sx->stx_size;
    return response;
}

StorageStatus PhoneStorage::truncate(std::string_view identifier, uint64_t size,
                                     const std::optional<Bytes>& expectedContentVersion,
                                     StagedWrites& writes) {
    // A new truncate starts the item's write afresh, whatever becomes of it.
    writes.discard(std::string(identifier));
    if (identifier.empty()) return FileSystemStatus::wrongKind;
    auto location = locate(identifier);
    if (auto* failed = std::get_if<StorageStatus>(&location)) return *failed;
    auto& [directory, name, id] = std::get<Location>(location);
    // The version of the item itself, as the lookup reports it, links included.
    Bytes currentVersion;
    struct statx sx {};
    mode_t mode = kNewFileMode;
    if (statItem(directory.get(), name, sx) == 0) {
        if (S_ISDIR(sx.stx_mode)) return FileSystemStatus::wrongKind;
        currentVersion = contentVersionOf(sx);
        if (S_ISREG(sx.stx_mode)) mode = sx.stx_mode & 07777;
    } else if (errno != ENOENT) {
        return statusOf(errno);
    }
    if (expectedContentVersion && *expectedContentVersion != currentVersion)
        return FileSystemStatus::versionMismatch;
    const auto directoryId = idOf(directory.get());
    if (!directoryId) return statusOf(errno);

    auto staging = std::make_shared<StagedWrites::Staging>(directory.release(), *directoryId, name);
    staging->fd = createStagingFile(staging->directoryFd, staging->stagingName);
    if (staging->fd < 0) return statusOf(errno);
    // The replacement keeps the permissions of the file it replaces.
    if (fchmod(staging->fd, mode) != 0 || ftruncate(staging->fd, static_cast<off_t>(size)) != 0) {
        const int error = errno;
        ::unlinkat(staging->directoryFd, staging->stagingName.c_str(), 0);
        return statusOf(error);
    }
    std::erase_if(staged_, [](const auto& weak) { return weak.expired(); });
    staged_.push_back(staging);
    writes.staged_.emplace(id, std::move(staging));
    return FileSystemStatus::ok;
}

StorageResult<RelayWriteChunkResponse> PhoneStorage::write(std::string_view identifier,
                                                           uint64_t offset,
                                                           std::span<const uint8_t> data,
                                                           StagedWrites& writes) {
    if (!validIdentifier(identifier)) return FileSystemStatus::notFound;
    const auto staged = writes.staged_.find(std::string(identifier));
    if (staged == writes.staged_.end() || staged->second->ended) return FileSystemStatus::notFound;
    const int fd = staged->second->fd;
    size_t put = 0;
    while (put < data.size()) {
        ssize_t n =
            pwrite(fd, data.data() + put, data.size() - put, static_cast<off_t>(offset + put));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return statusOf(errno);
        put += static_cast<size_t>(n);
    }
    flusher_.flush(fd);
    auto summary = describe(fd, "", std::string(identifier), staged->second->itemName);
    if (auto* failed = std::get_if<StorageStatus>(&summary)) return *failed;
    auto& s = std::get<RelayItemSummary>(summary);
    return RelayWriteChunkResponse{offset + data.size(), s.size, std::move(s)};
}

StorageResult<RelayItemSummary> PhoneStorage::commit(std::string_view identifier,
                                                     StagedWrites& writes) {
    if (!validIdentifier(identifier)) return FileSystemStatus::notFound;
    const std::string key(identifier);
    const auto staged = writes.staged_.find(key);
    if (staged == writes.staged_.end()) return FileSystemStatus::notFound;
    const StagedWrites::Staging& staging = *staged->second;
    // The item went away meanwhile; the write must not bring it back.
    if (staging.ended) {
        writes.release(key);
        return FileSystemStatus::notFound;
    }
    // Data first, then the name, then the directory entry: after a crash either the old item or
    // the complete new one is there.
    if (fsync(staging.fd) != 0 || renameat(staging.directoryFd, staging.stagingName.c_str(),
                                           staging.directoryFd, staging.itemName.c_str()) != 0) {
        const int error = errno;
        writes.discard(key);
        return statusOf(error);
    }
    const int directory = ::openat(staging.directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        ::close(directory);
    }
    auto summary = describe(staging.fd, "", key, staging.itemName);
    writes.release(key);
    return summary;
}

StorageResult<RelayDirectoryPage>
PhoneStorage::list(const RelayListDirectoryRequest& request) const {
    auto opened = openDirectory(request.identifier);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    const int directory = std::get<Item>(opened).fd();
    auto names = namesIn(directory);
    if (!names) return statusOf(errno);
    // Names no identifier can carry are left out along with the writes in progress.
    std::erase_if(*names, [&](const std::string& name) {
        return !isValidItemName(name) || isStagingName(name) ||
               (request.after && name <= *request.after);
    });
    std::sort(names->begin(), names->end());

    static const size_t envelopeBytes = encodeJson(RelayDirectoryPage{}).size();
    const size_t limit = std::min(request.limit, kMaxPageEntries);
    RelayDirectoryPage page;
    size_t pageBytes = envelopeBytes;
    size_t next = 0;
    for (; next < names->size() && page.items.size() < limit; ++next) {
        const std::string& name = (*names)[next];
        auto summary = describe(directory, name, childIdentifier(request.identifier, name), name);
        if (auto* failed = std::get_if<StorageStatus>(&summary)) {
            // Removed since the directory was read.
            if (failed->code == FileSystemStatus::notFound) continue;
            return *failed;
        }
        auto& item = std::get<RelayItemSummary>(summary);
        // The page encodes each item as the summary's own document, with a comma between.
        const size_t itemBytes = encodeJson(item).size() + (page.items.empty() ? 0 : 1);
        if (pageBytes + itemBytes >= kMaxPageBytes) break;
        pageBytes += itemBytes;
        page.items.push_back(std::move(item));
    }
    page.more = next < names->size();
    return page;
}

StorageResult<RelayItemSummary> PhoneStorage::create(const RelayCreateItemRequest& request) {
    const std::string& name = request.name;
    if (!isValidItemName(name) || isStagingName(name)) return FileSystemStatus::badRequest;
    auto opened = openDirectory(request.parentIdentifier);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    const int parent = std::get<Item>(opened).fd();

    UniqueFd item;
    if (request.isDirectory) {
        if (::mkdirat(parent, name.c_str(), 0700) != 0) return statusOf(errno);
        item = UniqueFd(
            ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    } else {
        item = UniqueFd(::openat(parent, name.c_str(),
                                 O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (!item) return statusOf(errno);
    // The caller's permissions exactly, whatever the simulator's umask.
    if (::fchmod(item.get(), request.mode & 07777) != 0) return statusOf(errno);
    return describe(item.get(), "", childIdentifier(request.parentIdentifier, name), name);
}

StorageStatus PhoneStorage::remove(const RelayRemoveItemRequest& request) {
    if (request.identifier.empty()) return FileSystemStatus::badRequest; // the storage itself
    auto location = locate(request.identifier);
    if (auto* failed = std::get_if<StorageStatus>(&location)) return *failed;
    const Location& item = std::get<Location>(location);
    struct statx sx {};
    if (statItem(item.fd(), item.name, sx) != 0) return statusOf(errno);
    if (S_ISDIR(sx.stx_mode) != request.isDirectory) return FileSystemStatus::wrongKind;
    const auto parentId = idOf(item.fd());
    if (!parentId) return statusOf(errno);

    const int flags = request.isDirectory ? AT_REMOVEDIR : 0;
    if (::unlinkat(item.fd(), item.name.c_str(), flags) != 0) {
        if (!request.isDirectory || (errno != ENOTEMPTY && errno != EEXIST)) return statusOf(errno);
        if (!clearStagingOnly(item.fd(), item.name)) return statusOf(ENOTEMPTY);
        if (::unlinkat(item.fd(), item.name.c_str(), flags) != 0) return statusOf(errno);
    }
    endWritesOf(*parentId, item.name);
    return FileSystemStatus::ok;
}

StorageResult<RelayItemSummary> PhoneStorage::rename(const RelayRenameItemRequest& request) {
    if (request.identifier.empty()) return FileSystemStatus::badRequest; // the storage itself
    const std::string& newName = request.newName;
    if (!isValidItemName(newName) || isStagingName(newName)) return FileSystemStatus::badRequest;
    auto location = locate(request.identifier);
    if (auto* failed = std::get_if<StorageStatus>(&location)) return *failed;
    const Location& source = std::get<Location>(location);
    auto opened = openDirectory(request.newParentIdentifier);
    if (auto* failed = std::get_if<StorageStatus>(&opened)) return *failed;
    const int target = std::get<Item>(opened).fd();

    struct statx moving {};
    if (statItem(source.fd(), source.name, moving) != 0) return statusOf(errno);
    const auto sourceParent = idOf(source.fd());
    const auto targetParent = idOf(target);
    if (!sourceParent || !targetParent) return statusOf(errno);
    const std::string newIdentifier = childIdentifier(request.newParentIdentifier, newName);
    if (*sourceParent == *targetParent && source.name == newName && request.replaceExisting)
        return describe(target, newName, newIdentifier, newName); // POSIX: nothing to do

    const bool isDirectory = S_ISDIR(moving.stx_mode);
    if (isDirectory && isWithin(target, idOf(moving))) return FileSystemStatus::badRequest;
    struct statx replaced {};
    if (request.replaceExisting && statItem(target, newName, replaced) == 0) {
        if (S_ISDIR(replaced.stx_mode) != isDirectory) return FileSystemStatus::wrongKind;
        // Like remove: a directory holding only writes in progress counts as empty.
        if (isDirectory) clearStagingOnly(target, newName);
    }
    const unsigned flags = request.replaceExisting ? 0 : RENAME_NOREPLACE;
    if (::renameat2(source.fd(), source.name.c_str(), target, newName.c_str(), flags) != 0)
        return statusOf(errno);

    // Writes begun under the old name, or for what the new name held, would otherwise land on
    // items they were never meant for.
    endWritesOf(*sourceParent, source.name);
    endWritesOf(*targetParent, newName);
    if (isDirectory) endWritesWithin(idOf(moving));
    return describe(target, newName, newIdentifier, newName);
}

StorageStatus PhoneStorage::setAttributes(const RelaySetAttributesRequest& request) {
    auto location = locate(request.identifier);
    if (auto* failed = std::get_if<StorageStatus>(&location)) return *failed;
    const Location& item = std::get<Location>(location);
    struct statx sx {};
    if (statItem(item.fd(), item.name, sx) != 0) return statusOf(errno);
    // Never through a link: one to a file outside the storage must not change that file.
    if (request.mode &&
        ::fchmodat(item.fd(), item.name.c_str(), *request.mode & 07777, AT_SYMLINK_NOFOLLOW) != 0)
        return statusOf(errno);
    if (request.accessTime || request.modifyTime) {
        const timespec times[2] = {timeOrOmit(request.accessTime), timeOrOmit(request.modifyTime)};
        if (::utimensat(item.fd(), item.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return statusOf(errno);
    }
    return FileSystemStatus::ok;
}

StorageResult<RelayVolumeStatistics> PhoneStorage::volumeStatistics() const {
    struct statvfs vfs {};
    if (::fstatvfs(rootFd_, &vfs) != 0) return statusOf(errno);
    const uint64_t unit = vfs.f_frsize;
    return RelayVolumeStatistics{
        .totalBytes = vfs.f_blocks * unit,
        .freeBytes = vfs.f_bfree * unit,
        .availableBytes = vfs.f_bavail * unit,
        .totalFiles = vfs.f_files,
        .freeFiles = vfs.f_ffree,
        .blockSize = static_cast<uint32_t>(unit),
        // No name of the protocol is longer.
        .maxNameLength = static_cast<uint32_t>(std::min<unsigned long>(vfs.f_namemax, 255)),
    };
}

} // namespace brimo::sim
