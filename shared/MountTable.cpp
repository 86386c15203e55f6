#include "shared/MountTable.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

namespace brimo {
namespace {

// The mount point as the table shows it, where the kernel has resolved symbolic links. Only the
// parent is resolved: resolving the mount point itself would look into the mounted volume.
std::filesystem::path tablePath(const std::filesystem::path& mountPoint) {
    if (!mountPoint.is_absolute()) return {};
    std::filesystem::path path = mountPoint.lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    if (path == path.root_path()) return path;
    std::error_code error;
    const std::filesystem::path parent =
        std::filesystem::weakly_canonical(path.parent_path(), error);
    return error ? path : parent / path.filename();
}

// The table writes space, tab, newline and backslash in paths as octal escapes (\040).
std::string unescapeTablePath(std::string_view field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string path;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            path += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

} // namespace

std::optional<MountTableEntry> parseMountTableLine(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0; start <= line.size();) {
        const size_t space = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    for (size_t i = 6; i + 1 < fields.size(); ++i)
        if (fields[i] == "-")
            return MountTableEntry{std::string(fields[0]), unescapeTablePath(fields[4]),
                                   std::string(fields[i + 1])};
    return std::nullopt;
}

std::vector<MountTableEntry> parseMountTable(std::string_view table) {
    std::vector<MountTableEntry> entries;
    for (size_t start = 0; start < table.size();) {
        const size_t end = std::min(table.find('\n', start), table.size());
        if (auto entry = parseMountTableLine(table.substr(start, end - start)))
            entries.push_back(std::move(*entry));
        start = end + 1;
    }
    return entries;
}

std::optional<MountTableEntry> topMountAt(std::string_view table, std::string_view mountPoint) {
    std::optional<MountTableEntry> top;
    for (auto& entry : parseMountTable(table))
        if (entry.mountPoint == mountPoint) top = std::move(entry);
    return top;
}

bool driveMountedAt(const std::filesystem::path& tableFile,
                    const std::filesystem::path& mountPoint) {
    const std::filesystem::path target = tablePath(mountPoint);
    if (target.empty()) return false;
    std::ifstream file(tableFile);
    const std::string table(std::istreambuf_iterator<char>(file), {});
    const auto top = topMountAt(table, target.native());
    return top && (top->type == "brimo" || top->type == "fuse.brimo");
}

} // namespace brimo
