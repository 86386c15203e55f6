#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Disk images the app may have been started from: read-only image file systems in the mount
// table (squashfs, ISO 9660, UDF, or a FUSE image mount such as squashfuse).
namespace brimo::app {

struct ImageMount {
    std::filesystem::path mountPoint;
    // The command that detaches the image the way the desktop would, the quoted mount point
    // to follow it, e.g. "/usr/bin/fusermount3 -u".
    std::string detachCommand;

    bool operator==(const ImageMount&) const = default;
};

// The deepest image mount in `table` (the format of /proc/self/mountinfo) whose mount point is
// `path` or a folder above it; of several at that mount point, the last one (the one on top).
std::optional<ImageMount> imageMountHolding(std::string_view table,
                                            const std::filesystem::path& path);

} // namespace brimo::app
