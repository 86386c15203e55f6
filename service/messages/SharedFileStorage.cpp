#include "service/messages/SharedFileStorage.h"

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

fs::path resolve(std::string_view name) {
    if (!plainName(name)) fail(SharedFileStorageError::invalidName, std::string(name));
    return SharedFileStorage::containerURL() / name;
}

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

fs::path SharedFileStorage::containerURL() {
    const fs::path container = dataHome() / appGroupIdentifier;
    makeDirectories(container);
    return container;
}

int SharedFileStorage::createSharedFile(std::string_view name, int64_t size) {
    const fs::path path = resolve(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail(SharedFileStorageError::ioFailed, path.string() + ": " + errnoText());
    // fchmod because the umask may have narrowed the mode given to open.
    if (::fchmod(fd, 0600) != 0 || (size > 0 && ::ftruncate(fd, size) != 0)) {
        const std::string detail = path.string() + ": " + errnoText();
        ::close(fd);
        fail(SharedFileStorageError::ioFailed, detail);
    }
    return fd;
}

void SharedFileStorage::moveSharedFile(std::string_view from, std::string_view to) {
    const fs::path source = resolve(from);
    const fs::path destination = resolve(to);
    // rename(2) replaces an existing destination atomically, so there is no moment without it.
    if (::rename(source.c_str(), destination.c_str()) != 0)
        fail(SharedFileStorageError::ioFailed,
             source.string() + " -> " + destination.string() + ": " + errnoText());
}

void SharedFileStorage::removeSharedFile(std::string_view name) noexcept {
    try {
        ::unlink(resolve(name).c_str());
    } catch (...) {
        // Nothing to delete where no valid name or no container exists.
    }
}

} // namespace brimo
