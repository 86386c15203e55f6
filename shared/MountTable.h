#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One line of a mount table in the format of /proc/self/mountinfo.
namespace brimo {

struct MountTableEntry {
    std::string id;         // the mount's ID, unique while it is mounted
    std::string mountPoint; // unescaped
    std::string type;

    bool operator==(const MountTableEntry&) const = default;
};

// "ID parentID major:minor root mountPoint options [optional fields...] - type source options";
// none when the line has no "-" separator after the sixth field or no field after it.
std::optional<MountTableEntry> parseMountTableLine(std::string_view line);

// Every entry of a whole table, in its order; lines that do not parse are skipped.
std::vector<MountTableEntry> parseMountTable(std::string_view table);

// The last entry at `mountPoint` in `table`: the mount that hides any earlier one there.
std::optional<MountTableEntry> topMountAt(std::string_view table, std::string_view mountPoint);

// Whether the top mount at `mountPoint` in the table file `tableFile` is the drive's (type
// "brimo" or "fuse.brimo"). Reads only the table: a dead or stuck FUSE mount hangs or fails
// whoever looks inside it. The mount point's parent is resolved as the kernel does.
bool driveMountedAt(const std::filesystem::path& tableFile,
                    const std::filesystem::path& mountPoint);

} // namespace brimo
