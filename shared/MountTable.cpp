#include "shared/MountTable.h"

#include <algorithm>
#include <vector>

namespace brimo {
namespace {

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

} // namespace brimo
