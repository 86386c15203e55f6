#include "peers/phone-sim/PhoneStorage.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace brimo::sim {

namespace {

constexpr mode_t kNewFileMode = 0644;

bool validIdentifier(std::string_view identifier) {
    if (identifier.starts_with('/') || identifier.find('\0') != std::string_view::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = identifier.find('/', start);
        if (identifier.substr(start, end - start) == "..") return false;
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

} // namespace

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
        auto sx = status();
        if (!sx) return statusOf(errno);
        RelayItemSummary s;
        s.identifier = identifier_;
        s.filename = filename_;
        s.isDirectory = S_ISDIR(sx->stx_mode);
        s.inode = sx->stx_ino;
        s.size = sx->stx_size;
        s.allocSize = sx->stx_blocks * 512;
        s.mode = sx->stx_mode;
        s.uid = sx->stx_uid;
        s.gid = sx->stx_gid;
        s.linkCount = sx->stx_nlink;
        s.accessTime = timespecOf(sx->stx_atime);
        s.modifyTime = timespecOf(sx->stx_mtime);
        s.changeTime = timespecOf(sx->stx_ctime);
        // Not every file system records a birth time.
        s.birthTime = timespecOf((sx->stx_mask & STATX_BTIME) ? sx->stx_btime : sx->stx_ctime);
        s.contentVersion = contentVersionOf(*sx);
        s.metadataVersion = metadataVersionOf(*sx);
        return s;
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
                                   const std::optional<Bytes>& expectedContentVersion) {
    if (!validIdentifier(identifier)) return PhoneStatus::notFound;
    auto existing = open(identifier, O_WRONLY);
    Bytes currentVersion;
    if (auto* failed = std::get_if<PhoneStatus>(&existing)) {
        if (*failed != PhoneStatus::notFound) return *failed;
    } else {
        auto sx = std::get<Item>(existing).status();
        if (!sx) return statusOf(errno);
        currentVersion = contentVersionOf(*sx);
    }
    if (expectedContentVersion && *expectedContentVersion != currentVersion)
        return PhoneStatus::versionMismatch;
    auto opened = std::holds_alternative<Item>(existing) ? std::move(existing)
                                                         : open(identifier, O_WRONLY | O_CREAT);
    if (auto* failed = std::get_if<PhoneStatus>(&opened)) return *failed;
    if (ftruncate(std::get<Item>(opened).fd(), static_cast<off_t>(size)) != 0)
        return statusOf(errno);
    return PhoneStatus::ok;
}

StorageResult<RelayWriteChunkResponse>
PhoneStorage::write(std::string_view identifier, uint64_t offset, std::span<const uint8_t> data) {
    auto opened = open(identifier, O_WRONLY);
    if (auto* failed = std::get_if<PhoneStatus>(&opened)) return *failed;
    const Item& item = std::get<Item>(opened);
    size_t put = 0;
    while (put < data.size()) {
        ssize_t n = pwrite(item.fd(), data.data() + put, data.size() - put,
                           static_cast<off_t>(offset + put));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return statusOf(errno);
        put += static_cast<size_t>(n);
    }
    auto summary = item.summary();
    if (auto* failed = std::get_if<PhoneStatus>(&summary)) return *failed;
    auto& s = std::get<RelayItemSummary>(summary);
    return RelayWriteChunkResponse{offset + data.size(), s.size, std::move(s)};
}

StorageResult<RelayItemSummary> PhoneStorage::commit(std::string_view identifier) {
    auto opened = openFile(identifier, O_RDONLY);
    if (auto* failed = std::get_if<PhoneStatus>(&opened)) return *failed;
    const Item& item = std::get<Item>(opened);
    if (fsync(item.fd()) != 0) return statusOf(errno);
    return item.summary();
}

} // namespace brimo::sim
