#include "peers/phone-sim/PhoneStorage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <random>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace brimo::sim {

namespace {

constexpr mode_t kNewFileMode = 0644;
constexpr std::string_view kStagingPrefix = ".brimo-staging-";

bool validIdentifier(std::string_view identifier) {
    if (identifier.starts_with('/') || identifier.find('\0') != std::string_view::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = identifier.find('/', start);
        const std::string_view component = identifier.substr(start, end - start);
        if (component == ".." || component.starts_with(kStagingPrefix)) return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

std::string_view lastComponent(std::string_view identifier) {
    while (identifier.ends_with('/'))
        identifier.remove_suffix(1);
    size_t slash = identifier.rfind('/');
    return slash == std::string_view::npos ? identifier : identifier.substr(slash + 1);
}

PhoneStatus statusOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EXDEV: // the path tried to leave the root
    case ELOOP:
        return PhoneStatus::notFound;
    case EISDIR:
        return PhoneStatus::wrongKind;
    default:
        return PhoneStatus::ioFailed;
    }
}

// Resolves `path` beneath `root` the way the kernel does for a confined lookup.
int openBeneath(int root, const std::string& path, int flags) {
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

// The item open at `fd`, reported under `identifier` and `filename`.
StorageResult<RelayItemSummary> describe(int fd, const std::string& identifier,
                                         const std::string& filename) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) !=
        0)
        return statusOf(errno);
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

} // namespace

void StagedWrites::discard(const std::string& identifier) {
    const auto staged = staged_.find(identifier);
    if (staged == staged_.end()) return;
    ::unlinkat(staged->second.directoryFd, staged->second.stagingName.c_str(), 0);
    release(identifier);
}

void StagedWrites::release(const std::string& identifier) {
    const auto staged = staged_.find(identifier);
    if (staged == staged_.end()) return;
    ::close(staged->second.fd);
    ::close(staged->second.directoryFd);
    staged_.erase(staged);
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
    Item(Item&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
        , identifier_(std::move(other.identifier_))
        , filename_(std::move(other.filename_)) {}
    Item& operator=(Item&&) = delete;
    ~Item() {
        if (fd_ >= 0) ::close(fd_);
    }

    int fd() const { return fd_; }

    std::optional<struct statx> status() const {
        struct statx sx {};
        if (statx(fd_, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                  &sx) != 0)
            return std::nullopt;
        return sx;
    }

    StorageResult<RelayItemSummary> summary() const {
        return describe(fd_, identifier_, filename_);
    }

private:
    int fd_;
    std::string identifier_;
    std::string filename_;
};

PhoneStorage::PhoneStorage(const std::string& root)
    : rootFd_(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))
    , rootName_(std::filesystem::absolute(root).lexically_normal().filename().string()) {
    if (rootFd_ < 0) throw std::system_error(errno, std::generic_category(), root);
    // "/srv/phone/" normalises to an empty last component; report the directory's own name.
    if (rootName_.empty())
        rootName_ = std::filesystem::absolute(root).lexically_normal().parent_path().filename();
}

PhoneStorage::~PhoneStorage() {
    ::close(rootFd_);
}

StorageResult<PhoneStorage::Item> PhoneStorage::open(std::string_view identifier, int flags) const {
    if (!validIdentifier(identifier)) return PhoneStatus::notFound;
    const std::string path = identifier.empty() ? "." : std::string(identifier);
    int fd = openBeneath(rootFd_, path, flags);
    if (fd < 0) return statusOf(errno);
    std::string filename(identifier.empty() ? rootName_ : lastComponent(identifier));
    return Item(fd, std::string(identifier), std::move(filename));
}

StorageResult<PhoneStorage::Item> PhoneStorage::openFile(std::string_view identifier,
                                                         int flags) const {
    auto opened = open(identifier, flags);
    if (auto* failed = std::get_if<PhoneStatus>(&opened)) return *failed;
    auto sx = std::get<Item>(opened).status();
    if (!sx) return statusOf(errno);
    if (S_ISDIR(sx->stx_mode)) return PhoneStatus::wrongKind;
    return opened;
}

StorageResult<RelayItemSummary> PhoneStorage::lookup(std::string_view identifier) const {
    auto item = open(identifier, O_PATH | O_NOFOLLOW);
    if (auto* failed = std::get_if<PhoneStatus>(&item)) return *failed;
    return std::get<Item>(item).summary();
}

StorageResult<ReadChunkResponse> PhoneStorage::read(std::string_view identifier, uint64_t offset,
                                                    uint32_t maxLength) const {
    auto opened = openFile(identifier, O_RDONLY);
    if (auto* failed = std::get_if<PhoneStatus>(&opened)) return *failed;
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

PhoneStatus PhoneStorage::truncate(std::string_view identifier, uint64_t size,
                                   const std::optional<Bytes>& expectedContentVersion,
                                   StagedWrites& writes) {
    if (!validIdentifier(identifier)) return PhoneStatus::notFound;
    // A new truncate starts the item's write afresh, whatever becomes of it.
    writes.discard(std::string(identifier));
    if (auto whole = open(identifier, O_PATH | O_NOFOLLOW); std::holds_alternative<Item>(whole)) {
        auto sx = std::get<Item>(whole).status();
        if (!sx) return statusOf(errno);
        if (S_ISDIR(sx->stx_mode)) return PhoneStatus::wrongKind;
    }
    const size_t slash = identifier.rfind('/');
    const std::string parent(slash == std::string_view::npos ? "." : identifier.substr(0, slash));
    const std::string name(slash == std::string_view::npos ? identifier
                                                           : identifier.substr(slash + 1));
    if (name.empty() || name == ".") return PhoneStatus::notFound;

    const int directory = openBeneath(rootFd_, parent, O_PATH | O_DIRECTORY);
    if (directory < 0) return statusOf(errno);
    StagedWrites::Staging staging{directory, -1, {}, name};
    auto fail = [&](int error) {
        if (staging.fd >= 0) {
            ::unlinkat(directory, staging.stagingName.c_str(), 0);
            ::close(staging.fd);
        }
        ::close(directory);
        return statusOf(error);
    };
    // The version of the item itself, as the lookup reports it, links included.
    Bytes currentVersion;
    struct statx sx {};
    mode_t mode = kNewFileMode;
    if (statx(directory, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0) {
        currentVersion = contentVersionOf(sx);
        if (S_ISREG(sx.stx_mode)) mode = sx.stx_mode & 07777;
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    if (expectedContentVersion && *expectedContentVersion != currentVersion) {
        ::close(directory);
        return PhoneStatus::versionMismatch;
    }
    staging.fd = createStagingFile(directory, staging.stagingName);
    if (staging.fd < 0) return fail(errno);
    // The replacement keeps the permissions of the file it replaces.
    if (fchmod(staging.fd, mode) != 0 || ftruncate(staging.fd, static_cast<off_t>(size)) != 0)
        return fail(errno);
    writes.staged_.emplace(std::string(identifier), std::move(staging));
    return PhoneStatus::ok;
}

StorageResult<RelayWriteChunkResponse> PhoneStorage::write(std::string_view identifier,
                                                           uint64_t offset,
                                                           std::span<const uint8_t> data,
                                                           StagedWrites& writes) {
    if (!validIdentifier(identifier)) return PhoneStatus::notFound;
    const auto staged = writes.staged_.find(std::string(identifier));
    if (staged == writes.staged_.end()) return PhoneStatus::notFound;
    const int fd = staged->second.fd;
    size_t put = 0;
    while (put < data.size()) {
        ssize_t n =
            pwrite(fd, data.data() + put, data.size() - put, static_cast<off_t>(offset + put));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return statusOf(errno);
        put += static_cast<size_t>(n);
    }
    auto summary = describe(fd, std::string(identifier), staged->second.itemName);
    if (auto* failed = std::get_if<PhoneStatus>(&summary)) return *failed;
    auto& s = std::get<RelayItemSummary>(summary);
    return RelayWriteChunkResponse{offset + data.size(), s.size, std::move(s)};
}

StorageResult<RelayItemSummary> PhoneStorage::commit(std::string_view identifier,
                                                     StagedWrites& writes) {
    if (!validIdentifier(identifier)) return PhoneStatus::notFound;
    const std::string key(identifier);
    const auto staged = writes.staged_.find(key);
    if (staged == writes.staged_.end()) return PhoneStatus::notFound;
    const StagedWrites::Staging& staging = staged->second;
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
    auto summary = describe(staging.fd, key, staging.itemName);
    writes.release(key);
    return summary;
}

} // namespace brimo::sim
