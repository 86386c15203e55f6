#include "extension/ContentStore.h"

#include "extension/Identifiers.h"

#include "shared/json/Uuid.h"
#include "shared/messages/SharedFileStorage.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::fs {

namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kPrefix = "brimofs_";

std::string freshName(const char* suffix) {
    return std::string(kPrefix) + Uuid::random().toString() + suffix;
}

} // namespace

ContentFile::ContentFile(int fd, std::string name)
    : ContentFile(fd, std::move(name), 0) {}

ContentFile::ContentFile(int fd, std::string name, uint64_t phoneSize)
    : fd_(fd)
    , name_(std::move(name))
    , phoneBytes_(phoneSize) {}

ContentFile::~ContentFile() {
    SharedFileStorage::removeSharedFile(name_);
    ::close(fd_);
}

int64_t ContentFile::size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
}

std::vector<ByteRange> ContentFile::missing(ByteRange range) const {
    std::lock_guard guard(mutex_);
    range.end = std::min(range.end, phoneBytes_);
    return range.empty() ? std::vector<ByteRange>{} : present_.missing(range);
}

bool ContentFile::complete() const {
    std::lock_guard guard(mutex_);
    return present_.covers({0, phoneBytes_});
}

uint64_t ContentFile::phoneBytes() const {
    std::lock_guard guard(mutex_);
    return phoneBytes_;
}

uint64_t ContentFile::presentBytes() const {
    std::lock_guard guard(mutex_);
    struct stat st {};
    const uint64_t size = ::fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
    uint64_t bytes = size > phoneBytes_ ? size - phoneBytes_ : 0;
    for (const auto& piece : present_.within({0, phoneBytes_}))
        bytes += piece.size();
    return bytes;
}

ssize_t ContentFile::write(const char* data, size_t size, off_t offset) {
    std::lock_guard guard(mutex_);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd_, data + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    present_.add({uint64_t(offset), uint64_t(offset) + done});
    if (done == 0 && size > 0) return -1;
    return ssize_t(done);
}

int ContentFile::truncate(uint64_t size) {
    std::lock_guard guard(mutex_);
    if (::ftruncate(fd_, off_t(size)) != 0) return -1;
    // What lies past the new end is zeros from now on, whatever the phone holds there.
    if (size < phoneBytes_) {
        present_.remove({size, phoneBytes_});
        phoneBytes_ = size;
    }
    return 0;
}

int ContentFile::fill(uint64_t offset, std::span<const uint8_t> data) {
    std::lock_guard guard(mutex_);
    const ByteRange range{offset, std::min(offset + data.size(), phoneBytes_)};
    if (range.empty()) return 0;
    for (const auto& gap : present_.missing(range)) {
        size_t done = 0;
        while (done < gap.size()) {
            const ssize_t n = ::pwrite(fd_, data.data() + (gap.begin - offset) + done,
                                       gap.size() - done, off_t(gap.begin + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? errno : EIO;
            done += size_t(n);
        }
    }
    present_.add(range);
    return 0;
}

ContentStore::ContentStore(uint64_t cacheBytes)
    : cacheBytes_(cacheBytes) {
    const stdfs::path container = SharedFileStorage::containerURL();
    // One extension per container: its leftovers are then surely nobody else's.
    lockFd_ = ::open((container / "brimofs.lock").c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (lockFd_ >= 0) ::close(lockFd_);
        throw std::runtime_error("another Brimofs serves the shared container " +
                                 container.string());
    }
    std::error_code error;
    for (const auto& entry : stdfs::directory_iterator(container, error))
        if (entry.path().filename().string().starts_with(kPrefix))
            SharedFileStorage::removeSharedFile(entry.path().filename().string());
}

ContentStore::~ContentStore() {
    entries_.clear();
    ::close(lockFd_);
}

std::shared_ptr<ContentFile> ContentStore::newWorkFile() {
    return newPhoneFile(0);
}

std::shared_ptr<ContentFile> ContentStore::newPhoneFile(uint64_t size) {
    const std::string name = freshName(".work");
    try {
        const int fd = SharedFileStorage::createSharedFile(name, int64_t(size));
        return std::make_shared<ContentFile>(fd, name, size);
    } catch (const std::exception&) {
        if (errno == 0) errno = EIO;
        return nullptr;
    }
}

std::optional<std::string> ContentStore::nameForPush(const ContentFile& work) {
    return linkForPush(pathOf(work));
}

std::optional<std::string> ContentStore::linkForPush(const stdfs::path& file) {
    const std::string name = freshName(".src");
    if (::link(file.c_str(), (SharedFileStorage::containerURL() / name).c_str()) != 0)
        return std::nullopt;
    return name;
}

stdfs::path ContentStore::pathOf(const ContentFile& work) const {
    return SharedFileStorage::containerURL() / work.name();
}

std::shared_ptr<ContentFile> ContentStore::cached(const std::string& identifier,
                                                  const Bytes& version) {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->identifier != identifier) continue;
        if (entry->version != version) {
            cachedBytes_ -= entry->bytes;
            entries_.erase(entry);
            return nullptr;
        }
        entries_.splice(entries_.begin(), entries_, entry);
        return entry->content;
    }
    return nullptr;
}

void ContentStore::keep(const std::string& identifier, const Bytes& version,
                        std::shared_ptr<ContentFile> content) {
    forget(identifier);
    const uint64_t size = content->presentBytes();
    if (size > cacheBytes_) return;
    entries_.push_front({identifier, version, std::move(content), size});
    cachedBytes_ += size;
    while (cachedBytes_ > cacheBytes_) {
        cachedBytes_ -= entries_.back().bytes;
        entries_.pop_back();
    }
}

void ContentStore::forget(const std::string& identifier) {
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (isWithin(entry->identifier, identifier)) {
            cachedBytes_ -= entry->bytes;
            entry = entries_.erase(entry);
        } else {
            ++entry;
        }
    }
}

} // namespace brimo::fs
