#include "service/MountService.h"
#include "service/ToolProcess.h"
#include "shared/BridgeContract.h"
#include "shared/Log.h"
#include "shared/MountTable.h"
#include "shared/Offload.h"
#include "shared/Race.h"
#include "shared/messages/SharedFileStorage.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace brimo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = MountServiceErrorKind;

constexpr Clock::duration kMountControlUnmountTimeout = 3s;

std::string describe(Kind kind, const std::string& payload) {
    switch (kind) {
    case Kind::sourceUnavailable:
        return "Passthrough source directory is unavailable: " + payload;
    case Kind::commandFailed:
    case Kind::timedOut:
        return payload;
    case Kind::alreadyMounted:
        return "Brimo is already mounted.";
    case Kind::notMounted:
        return "Brimo is not mounted.";
    }
    return payload;
}

MountServiceError commandFailed(std::string text) {
    return MountServiceError(Kind::commandFailed, std::move(text));
}

fs::path fromEnvironment(const char* variable, fs::path fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0' ? fs::path(value) : std::move(fallback);
}

// White space and newlines as Unicode defines them: the separators, tab, LF to CR and NEL.
bool isSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The UTF-8 character at text[i] and its length; a byte that starts no valid sequence is a
// character of its own.
std::pair<char32_t, size_t> characterAt(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return {lead, 1};
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return {0xFFFD, 1};
    char32_t c = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
        c = (c << 6) | (next & 0x3F);
    }
    return {c, length};
}

std::string trimmed(std::string_view text) {
    size_t begin = text.size(), end = 0;
    for (size_t i = 0; i < text.size();) {
        const auto [c, length] = characterAt(text, i);
        if (!isSpace(c)) {
            begin = std::min(begin, i);
            end = i + length;
        }
        i += length;
    }
    return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

void throwIfFailed(const fs::path& executable, const ToolExit& exit) {
    if (exit.status == 0) return;
    std::string text = trimmed(exit.standardError);
    if (text.empty())
        text = executable.string() + " exited with status " + std::to_string(exit.status);
    throw commandFailed(std::move(text));
}

// A relative path below the mount point that cannot climb out of it.
bool isItemPath(std::string_view relayID) {
    if (relayID.empty() || relayID.front() == '/' || relayID.find('\0') != std::string_view::npos)
        return false;
    for (size_t start = 0; start <= relayID.size();) {
        const size_t slash = std::min(relayID.find('/', start), relayID.size());
        if (relayID.substr(start, slash - start) == "..") return false;
        start = slash + 1;
    }
    return true;
}

// 0 or the errno of the failure.
int touchModificationTime(const fs::path& path) {
    if (!path.is_absolute()) return ENOENT; // no mount point, so no item
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    // A symbolic link is changed itself, never its target, which may lie outside the volume.
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

const char* kindName(ItemMutationNotifyPayload::Kind kind) {
    return kind == ItemMutationNotifyPayload::Kind::created ? "created" : "deleted";
}

} // namespace

MountServiceError::MountServiceError(MountServiceErrorKind kind, std::string payload)
    : std::runtime_error(describe(kind, payload))
    , kind_(kind)
    , payload_(std::move(payload)) {}

MountPlatform MountPlatform::standard() {
    // The service runs as Brimo.app/Contents/XPCServices/BrimoService.xpc/Contents/MacOS/
    // BrimoService; the helpers lie in Brimo.app/Contents/MacOS.
    std::error_code ignored;
    fs::path appContents = fs::read_symlink("/proc/self/exe", ignored);
    for (int level = 0; level < 5; ++level)
        appContents = appContents.parent_path();
    const fs::path helpers = appContents / "MacOS";

    fs::path mountPoint;
    try {
        mountPoint = SharedFileStorage::driveMountPoint();
    } catch (const SharedFileStorageException&) {
    }
    return MountPlatform{fromEnvironment("BRIMO_MOUNT_TOOL", helpers / "mount.brimo"),
                         fromEnvironment("BRIMO_UNMOUNT_TOOL", helpers / "umount.brimo"),
                         fromEnvironment("BRIMO_OPEN_TOOL", "/usr/bin/xdg-open"),
                         fromEnvironment("BRIMO_MOUNT_TABLE", "/proc/self/mountinfo"),
                         std::move(mountPoint),
                         [] { return SharedFileStorage::containerURL(); }};
}

MountService& MountService::shared() {
    static MountService service(Clock::current(), MountPlatform::standard());
    return service;
}

MountService::MountService(Clock& clock, MountPlatform platform)
    : clock_(clock)
    , platform_(std::move(platform)) {}

bool MountService::isMounted() const {
    return driveMountedAt(platform_.mountTable, platform_.mountPoint);
}

fs::path MountService::sourceAnchor() const {
    fs::path container;
    try {
        container = platform_.container();
    } catch (const std::exception&) {
        throw MountServiceError(Kind::sourceUnavailable, "App Group container unavailable");
    }
    const fs::path anchor = container / "source-anchor";
    std::error_code error;
    const fs::file_status status = fs::status(anchor, error);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) return anchor;
        throw MountServiceError(Kind::sourceUnavailable, anchor.string());
    }
    fs::create_directories(anchor, error);
    if (error)
        throw commandFailed("Failed to create source anchor: " + anchor.string() + ": " +
                            error.message());
    return anchor;
}

void MountService::ensureMountPoint() const {
    const fs::path& mountPoint = platform_.mountPoint;
    if (mountPoint.empty()) throw commandFailed("Failed to create mount point: no data directory");
    // Only called while nothing is mounted there, so the path itself may be looked at. A symbolic
    // link does not count as a directory: the table would show the volume under its target.
    std::error_code error;
    const fs::file_status status = fs::symlink_status(mountPoint, error);
    if (fs::is_directory(status)) {
        // Mounting over the folder would hide what the user keeps there.
        if (fs::directory_iterator(mountPoint, error) == fs::directory_iterator() && !error) return;
        throw commandFailed(
            (error ? "Cannot look into the mount point: " : "Mount point is not empty: ") +
            mountPoint.string());
    }
    if (fs::exists(status))
        throw commandFailed("Mount point exists but is not a directory: " + mountPoint.string());
    fs::create_directories(mountPoint, error);
    if (error)
        throw commandFailed("Failed to create mount point: " + mountPoint.string() + ": " +
                            error.message());
}

asio::awaitable<void> MountService::mount() {
    if (isMounted()) throw MountServiceError(Kind::alreadyMounted);
    const fs::path source = sourceAnchor();
    ensureMountPoint();
    std::vector<std::string> arguments{"-t", "brimo", source.string(),
                                       platform_.mountPoint.string()};
    std::exception_ptr failure;
    try {
        co_await runCommand(platform_.mountTool, std::move(arguments));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        removeEmptyMountPoint();
        std::rethrow_exception(failure);
    }
    // Started, not waited for: an opener may stay until the window it opened is closed. Its
    // process is reaped in the background.
    try {
        ToolProcess opener(platform_.opener, std::vector{platform_.mountPoint.string()});
    } catch (const std::system_error&) {
    }
}

asio::awaitable<void> MountService::forceUnmount() {
    if (!isMounted()) throw MountServiceError(Kind::notMounted);
    std::vector<std::string> arguments{"-f", platform_.mountPoint.string()};
    co_await runCommand(platform_.unmountTool, std::move(arguments));
    removeEmptyMountPoint();
}

asio::awaitable<void> MountService::unmount(Clock::duration timeout) {
    if (!isMounted()) throw MountServiceError(Kind::notMounted);
    bool failed = false;
    std::vector<std::string> arguments(1, platform_.mountPoint.string());
    try {
        co_await runCommand(platform_.unmountTool, std::move(arguments), timeout);
    } catch (...) {
        failed = true;
    }
    if (failed && isMounted())
        co_await forceUnmount();
    else
        removeEmptyMountPoint();
}

// rmdir removes only an empty folder, and never one something is mounted on.
void MountService::removeEmptyMountPoint() const {
    if (!platform_.mountPoint.empty() && !isMounted()) ::rmdir(platform_.mountPoint.c_str());
}

asio::awaitable<void> MountService::runCommand(fs::path executable,
                                               std::vector<std::string> arguments) {
    ToolProcess process(executable, arguments);
    throwIfFailed(executable, co_await process.wait());
}

asio::awaitable<void> MountService::runCommand(fs::path executable,
                                               std::vector<std::string> arguments,
                                               Clock::duration timeout) {
    ToolProcess process(executable, arguments);
    const std::optional<ToolExit> exit = co_await finishWithin(clock_, timeout, process.wait());
    if (!exit) {
        process.terminate();
        // A fixed text, written for the one caller, which allows 3 s.
        throw MountServiceError(Kind::timedOut,
                                executable.string() + " did not finish within 3.0s");
    }
    throwIfFailed(executable, *exit);
}

asio::awaitable<void> MountService::mountControl(Bytes payload, VolumeEvents& events) {
    const auto request = decodeMountControlNotifyPayload(payload);
    if (!request) {
        log::xpcLog.error("mountControl decode failed");
        co_return;
    }
    const bool mounting = request->action == MountControlNotifyPayload::Action::mount;
    std::optional<std::string> failure;
    try {
        if (mounting)
            co_await mount();
        else
            co_await unmount(kMountControlUnmountTimeout);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) {
        log::xpcLog.error("mountControl %s failed: %s", mounting ? "mount" : "unmount",
                          failure->c_str());
    } else if (mounting) {
        log::xpcLog.info("mountControl mount ok");
        events.volumeMounted();
    } else {
        log::xpcLog.info("mountControl unmount ok");
        events.volumeUnmounted();
    }
}

asio::awaitable<void> MountService::itemMutationPoke(Bytes payload) {
    const auto mutation = decodeItemMutationNotifyPayload(payload);
    if (!mutation) {
        log::xpcLog.error("itemMutation poke decode failed");
        co_return;
    }
    const std::string relayID = trimmed(mutation->relayID);
    if (!isItemPath(relayID)) {
        log::xpcLog.error("itemMutation poke ignored: invalid relayID");
        co_return;
    }
    const fs::path path = platform_.mountPoint / relayID;
    log::xpcLog.info("itemMutation poke path=%s", path.c_str());
    // Inside the volume the call is served by the file-system extension and may block.
    auto touch = [path] { return touchModificationTime(path); };
    const int error = co_await offload(std::move(touch));
    const char* kind = kindName(mutation->kind);
    if (error == 0)
        log::xpcLog.info("itemMutation poke ok kind=%s path=%s", kind, path.c_str());
    else
        log::xpcLog.error("itemMutation poke kind=%s path=%s: %s", kind, path.c_str(),
                          std::generic_category().message(error).c_str());
}

} // namespace brimo
