#include "shared/messages/SharedFileStorage.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace brimo {
namespace {

namespace fs = std::filesystem;

std::string describe(SharedFileStorageError error) {
    switch (error) {
    case SharedFileStorageError::containerUnavailable:
        return "shared container unavailable";
    case SharedFileStorageError::ioFailed:
        return "shared file I/O failed";
    case SharedFileStorageError::invalidName:
        return "invalid shared file name";
    case SharedFileStorageError::notAFile:
        return "not a regular shared file";
    }
    return "shared file storage error";
}

[[noreturn]] void fail(SharedFileStorageError error, const std::string& detail) {
    throw SharedFileStorageException(error, detail);
}

std::string errnoText() {
    return std::generic_category().message(errno);
}

// The XDG rule: an unset, empty or relative value does not count.
std::optional<fs::path> absoluteFromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return fs::path(value);
}

// mkdir with 0700 for each missing component; chmod afterwards because the umask may have taken
// owner bits away. Existing directories are left as they are.
void makeDirectories(const fs::path& directory) {
    fs::path partial;
    for (const auto& component : directory) {
        partial /= component;
        const bool created = ::mkdir(partial.c_str(), 0700) == 0;
        const int mkdirError = errno;
        std::error_code ignored;
        if (created ? ::chmod(partial.c_str(), 0700) == 0 : fs::is_directory(partial, ignored))
            continue;
        fail(SharedFileStorageError::containerUnavailable,
             partial.string() + ": " +
                 std::generic_category().message(created ? errno : mkdirError));
    }
}

bool plainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

void checkName(std::string_view name) {
    if (!plainName(name)) fail(SharedFileStorageError::invalidName, std::string(name));
}

// The container's directory, opened without following a link in its own name; every file
// operation goes through it, so a name is only ever looked up directly in the container.
class Container {
public:
    Container()
        : path_(SharedFileStorage::containerURL())
        , fd_(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
        if (fd_ < 0)
            fail(SharedFileStorageError::containerUnavailable, path_.string() + ": " + errnoText());
    }
    ~Container() { ::close(fd_); }
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    int fd() const { return fd_; }
    // For messages: the path `name` has in the container.
    std::string pathOf(std::string_view name) const { return (path_ / name).string(); }

private:
    fs::path path_;
    int fd_;
};

} // namespace

bool SharedFileStorage::isPlainName(std::string_view name) {
    return plainName(name);
}

SharedFileStorageException::SharedFileStorageException(SharedFileStorageError error,
                                                       const std::string& detail)
    : std::runtime_error(describe(error) + ": " + detail)
    , error_(error) {}

fs::path SharedFileStorage::dataHome() {
    if (auto path = absoluteFromEnvironment("XDG_DATA_HOME")) return *path;
    if (auto home = absoluteFromEnvironment("HOME")) return *home / ".local" / "share";
    fail(SharedFileStorageError::containerUnavailable, "neither XDG_DATA_HOME nor HOME is usable");
}

fs::path SharedFileStorage::driveMountPoint() {
    if (auto home = absoluteFromEnvironment("HOME")) return *home / "Brimo";
    fail(SharedFileStorageError::containerUnavailable, "HOME is not usable");
}

fs::path SharedFileStorage::containerURL() {
    const fs::path container = dataHome() / appGroupIdentifier;
    makeDirectories(container);
    return container;
}

int SharedFileStorage::createSharedFile(std::string_view name, int64_t size) {
    checkName(name);
    const Container container;
    const std::string file(name);
    // O_EXCL: a name that already exists, a link above all, is never opened in its place.
    const int fd = ::openat(container.fd(), file.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) fail(SharedFileStorageError::ioFailed, container.pathOf(name) + ": " + errnoText());
    // fchmod because the umask may have narrowed the mode given to open.
    if (::fchmod(fd, 0600) != 0 || (size > 0 && ::ftruncate(fd, size) != 0)) {
        const std::string detail = container.pathOf(name) + ": " + errnoText();
        ::close(fd);
        fail(SharedFileStorageError::ioFailed, detail);
    }
    return fd;
}

int SharedFileStorage::openSharedFile(std::string_view name) {
    checkName(name);
    const Container container;
    const std::string file(name);
    // O_NONBLOCK so that a FIFO without a writer cannot hold the open; O_NOFOLLOW fails on a
    // link with ELOOP, and a socket cannot be opened at all (ENXIO).
    const int fd =
        ::openat(container.fd(), file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        fail(error == ELOOP || error == ENXIO ? SharedFileStorageError::notAFile
                                              : SharedFileStorageError::ioFailed,
             container.pathOf(name) + ": " + std::generic_category().message(error));
    }
    auto closeAndFail = [&](SharedFileStorageError error, const std::string& reason) {
        const std::string detail = container.pathOf(name) + ": " + reason;
        ::close(fd);
        fail(error, detail);
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) closeAndFail(SharedFileStorageError::ioFailed, errnoText());
    if (!S_ISREG(info.st_mode))
        closeAndFail(SharedFileStorageError::notAFile, "not a regular file");
    // Regular files ignore O_NONBLOCK today; cleared so that reads stay plain blocking reads.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        closeAndFail(SharedFileStorageError::ioFailed, errnoText());
    return fd;
}

void SharedFileStorage::moveSharedFile(std::string_view from, std::string_view to) {
    checkName(from);
    checkName(to);
    const Container container;
    const std::string source(from);
    const std::string destination(to);
    // rename(2) replaces an existing destination atomically, so there is no moment without it;
    // a link under either name is renamed or replaced itself, never followed.
    if (::renameat(container.fd(), source.c_str(), container.fd(), destination.c_str()) != 0)
        fail(SharedFileStorageError::ioFailed,
             container.pathOf(from) + " -> " + container.pathOf(to) + ": " + errnoText());
}

void SharedFileStorage::removeSharedFile(std::string_view name) noexcept {
    try {
        checkName(name);
        const Container container;
        const std::string file(name);
        struct stat info {};
        // Between the check and the unlink the name may be replaced by a link: unlinkat then
        // removes that link, still never what it points to.
        if (::fstatat(container.fd(), file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode))
            ::unlinkat(container.fd(), file.c_str(), 0);
    } catch (...) {
        // Nothing to delete where no valid name or no container exists.
    }
}

} // namespace brimo
