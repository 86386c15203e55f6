#include "fuzz/FuzzCheck.h"
#include "shared/MountTable.h"

#include <string>
#include <string_view>

using namespace brimo;

namespace {

// What the kernel escapes in a path field.
std::string escapeTablePath(std::string_view path) {
    std::string field;
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            const auto byte = static_cast<unsigned char>(c);
            field += '\\';
            field += static_cast<char>('0' + (byte >> 6));
            field += static_cast<char>('0' + ((byte >> 3) & 7));
            field += static_cast<char>('0' + (byte & 7));
        } else {
            field += c;
        }
    }
    return field;
}

} // namespace

// Every line of the table is parsed; an entry written back as the kernel would write it must
// parse to the same entry.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view table(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= table.size();) {
        const size_t end = std::min(table.find('\n', start), table.size());
        const auto entry = parseMountTableLine(table.substr(start, end - start));
        start = end + 1;
        if (!entry) continue;
        const std::string line = entry->id + " 35 98:0 / " + escapeTablePath(entry->mountPoint) +
                                 " rw,nosuid shared:1 - " + entry->type + " /dev/fuse rw";
        FUZZ_CHECK(parseMountTableLine(line) == entry);
    }
    return 0;
}
