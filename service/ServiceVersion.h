#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimo {

// A decimal integer: an optional sign, then digits only, within a signed 64-bit value; 0 for
// anything else ("1.2", "12a", "+", "").
int64_t parseBundleVersion(std::string_view text);

// The string value of `key` in an information dictionary (an XML or binary property list);
// none when the file, the key or a string value is missing.
std::optional<std::string> infoDictionaryString(const std::filesystem::path& plist,
                                                const char* key);

// The service bundle's information dictionary: Contents/Info.plist above the running
// executable's Contents/MacOS/ folder.
std::filesystem::path serviceInfoDictionaryPath();

// The build number the service reports to its clients.
int64_t serviceVersion(const std::filesystem::path& infoDictionary);

} // namespace brimo
