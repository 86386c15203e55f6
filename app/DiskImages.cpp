#include "app/DiskImages.h"

#include "shared/MountTable.h"

#include <algorithm>
#include <array>

namespace brimo::app {
namespace {

// Image formats the kernel mounts from a loop device. UDF may be mounted writable, and then it is
// a disc or a partition rather than an image.
constexpr std::array kernelImageTypes{"squashfs", "iso9660", "udf"};
// FUSE image mounts: their formats are read-only, though the table lists them "rw".
constexpr std::array fuseImageTypes{"fuse.squashfuse", "fuse.squashfuse_ll", "fuse.fuseiso"};

// The sixth field of a mount table line, the mount's own options ("ro,nosuid,...").
std::string_view mountOptions(std::string_view line) {
    size_t start = 0;
    for (int field = 0; field < 5; ++field) {
        const size_t space = line.find(' ', start);
        if (space == std::string_view::npos) return {};
        start = space + 1;
    }
    return line.substr(start, line.find(' ', start) - start);
}

bool isReadOnly(std::string_view options) {
    return options == "ro" || options.starts_with("ro,");
}

// How the desktop detaches the image at this entry; none when the entry is no image.
std::optional<std::string> detachCommandFor(const MountTableEntry& entry,
                                            std::string_view options) {
    if (std::find(fuseImageTypes.begin(), fuseImageTypes.end(), entry.type) != fuseImageTypes.end())
        return "/usr/bin/fusermount3 -u";
    // gio unmounts through the desktop's volume monitor: through udisks for the loop mounts the
    // file manager made (their loop devices clear themselves), with umount for other mounts.
    if (std::find(kernelImageTypes.begin(), kernelImageTypes.end(), entry.type) !=
            kernelImageTypes.end() &&
        isReadOnly(options))
        return "/usr/bin/gio mount -u";
    return std::nullopt;
}

bool holds(const std::string& mountPoint, const std::string& path) {
    return path == mountPoint || (path.size() > mountPoint.size() && path.starts_with(mountPoint) &&
                                  path[mountPoint.size()] == '/');
}

} // namespace

std::optional<ImageMount> imageMountHolding(std::string_view table,
                                            const std::filesystem::path& path) {
    std::optional<ImageMount> deepest;
    for (size_t start = 0; start < table.size();) {
        const size_t end = std::min(table.find('\n', start), table.size());
        const std::string_view line = table.substr(start, end - start);
        start = end + 1;
        const auto entry = parseMountTableLine(line);
        if (!entry || !holds(entry->mountPoint, path.string())) continue;
        auto detach = detachCommandFor(*entry, mountOptions(line));
        if (!detach) continue;
        if (!deepest || entry->mountPoint.size() >= deepest->mountPoint.string().size())
            deepest = ImageMount{entry->mountPoint, std::move(*detach)};
    }
    return deepest;
}

} // namespace brimo::app
