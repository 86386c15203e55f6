#include "extension/ContentStore.h"

#include "extension/Identifiers.h"

#include "shared/json/Uuid.h"
#include "shared/messages/SharedFileStorage.h"

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
    : fd_(fd)
    , name_(std::move(name)) {}

ContentFile::~ContentFile() {
    dropName();
    ::close(fd_);
}

int64_t ContentFile::size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
}

void ContentFile::dropName() {
    if (name_.empty()) return;
    SharedFileStorage::removeSharedFile(name_);
    name_.clear();
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

std::shared_ptr<ContentFile> ContentStore::openFetched(const std::string& fileName) {
    try {
        return std::make_shared<ContentFile>(SharedFileStorage::openSharedFile(fileName), "");
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::shared_ptr<ContentFile> ContentStore::newWorkFile() {
    const std::string name = freshName(".work");
    try {
        const int fd = SharedFileStorage::createSharedFile(name, 0);
        return std::make_shared<ContentFile>(fd, name);
    } catch (const std::exception&) {
        if (errno == 0) errno = EIO;
        return nullptr;
    }
}

std::shared_ptr<ContentFile> ContentStore::copyToWorkFile(const ContentFile& source) {
    auto work = newWorkFile();
    if (!work) return nullptr;
    const int64_t size = source.size();
    if (size < 0) return nullptr;
    loff_t in = 0, out = 0;
    while (in < size) {
        const ssize_t copied =
            ::copy_file_range(source.fd(), &in, work->fd(), &out, size_t(size - in), 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) return nullptr; // the work file goes with `work`
    }
    return work;
}

std::optional<std::string> ContentStore::nameForPush(const ContentFile& work) {
    if (!work.writable()) return std::nullopt;
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
    content->dropName();
    const int64_t size = content->size();
    if (size < 0 || uint64_t(size) > cacheBytes_) return;
    entries_.push_front({identifier, version, std::move(content), uint64_t(size)});
    cachedBytes_ += uint64_t(size);
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
