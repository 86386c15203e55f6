#pragma once

#include "shared/BundleInfo.h"

#include <cstdint>
#include <filesystem>

namespace brimo {

// The service bundle's information dictionary: Contents/Info.plist above the running
// executable's Contents/MacOS/ folder.
std::filesystem::path serviceInfoDictionaryPath();

// The build number the service reports to its clients.
int64_t serviceVersion(const std::filesystem::path& infoDictionary);

} // namespace brimo
