#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Bundles laid out like the desktop's: `X.app/Contents/Info.plist` (or `.xpc`, `.appex`) with
// the executables in `Contents/MacOS/`.
namespace brimo {

// A decimal integer: an optional sign, then digits only, within a signed 64-bit value; 0 for
// anything else ("1.2", "12a", "+", "").
int64_t parseBundleVersion(std::string_view text);

// The string value of `key` in an information dictionary (an XML or binary property list);
// none when the file, the key or a string value is missing.
std::optional<std::string> infoDictionaryString(const std::filesystem::path& plist,
                                                const char* key);

// The nearest directory above `executable` whose extension is ".app", ".xpc" or ".appex" and
// that holds Contents/Info.plist; none when there is none.
std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& executable);

inline std::filesystem::path infoDictionaryPath(const std::filesystem::path& bundle) {
    return bundle / "Contents" / "Info.plist";
}

} // namespace brimo
