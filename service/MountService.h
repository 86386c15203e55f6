#pragma once

#include "shared/Bytes.h"
#include "shared/Clock.h"

#include <asio/awaitable.hpp>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimo {

enum class MountServiceErrorKind {
    sourceUnavailable,
    commandFailed,
    timedOut,
    alreadyMounted,
    notMounted
};

// what() is the description that logs and replies show.
class MountServiceError : public std::runtime_error {
public:
    explicit MountServiceError(MountServiceErrorKind kind, std::string payload = {});
    MountServiceErrorKind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }

private:
    MountServiceErrorKind kind_;
    std::string payload_;
};

// Where the volume goes and the tools that put it there.
struct MountPlatform {
    std::filesystem::path mountTool;   // called as: -t brimo <source> <mount point>
    std::filesystem::path unmountTool; // called as: [-f] <mount point>
    std::filesystem::path opener;      // shows the mounted volume: <mount point>
    std::filesystem::path mountTable;  // in the format of /proc/self/mountinfo
    std::filesystem::path mountPoint;
    // The App Group container, which holds the mount source; throws when unavailable.
    std::function<std::filesystem::path()> container;

    // The bundle's mount.brimo and umount.brimo (in Brimo.app/Contents/MacOS), xdg-open, this
    // process's mount table, $HOME/Brimo (empty when HOME is not usable) and the shared
    // container. BRIMO_MOUNT_TOOL, BRIMO_UNMOUNT_TOOL,
    // BRIMO_OPEN_TOOL and BRIMO_MOUNT_TABLE, when set and not empty, replace the defaults.
    static MountPlatform standard();
};

// Told when mount control has mounted or unmounted the volume.
class VolumeEvents {
public:
    virtual ~VolumeEvents() = default;
    virtual void volumeMounted() = 0;
    virtual void volumeUnmounted() = 0;
};

// Mounts and unmounts the drive's volume with the platform's tools. Whether it is mounted is
// never remembered: every operation reads the mount table afresh, so overlapping requests and
// mounts made by others are seen as they are.
//
// Operations that throw throw MountServiceError, or std::system_error when a tool cannot be
// started.
class MountService {
public:
    static MountService& shared();

    MountService(Clock& clock, MountPlatform platform);

    const MountPlatform& platform() const { return platform_; }

    // The top mount at the mount point is a brimo file system. Reads only the mount table: a dead
    // FUSE mount hangs or fails whoever looks inside it.
    bool isMounted() const;

    // Mounts the container's source anchor on the mount point, creating both when missing, then
    // starts the opener on the mount point (whose failure is ignored). A mount point that holds
    // anything is never mounted over (commandFailed naming it).
    asio::awaitable<void> mount();
    // The unmount tool with "-f". Like every unmount and failed mount, it leaves no empty mount
    // point behind in the home.
    asio::awaitable<void> forceUnmount();
    // The unmount tool within `timeout`; when it fails or runs out of time and the volume is still
    // mounted, the forced unmount, whose error is then the result.
    asio::awaitable<void> unmount(Clock::duration timeout);

    // Runs a tool to its end; a status other than 0 is commandFailed with the tool's trimmed
    // standard error, or with "<executable> exited with status <n>" when that is empty.
    asio::awaitable<void> runCommand(std::filesystem::path executable,
                                     std::vector<std::string> arguments);
    // Likewise within `timeout`; past it the tool is terminated and the result is timedOut.
    asio::awaitable<void> runCommand(std::filesystem::path executable,
                                     std::vector<std::string> arguments, Clock::duration timeout);

    // The phone's requests (a MountControlNotifyPayload, an ItemMutationNotifyPayload). They
    // never throw: outcomes are logged, nothing goes back to the phone.
    asio::awaitable<void> mountControl(Bytes payload, VolumeEvents& events);
    // Sets the modification time of the item at the mount point + relayID to now, so that the
    // file system notices the phone's change; the contents are never touched.
    asio::awaitable<void> itemMutationPoke(Bytes payload);

private:
    std::filesystem::path sourceAnchor() const;
    void ensureMountPoint() const;
    void removeEmptyMountPoint() const;

    Clock& clock_;
    MountPlatform platform_;
};

} // namespace brimo
