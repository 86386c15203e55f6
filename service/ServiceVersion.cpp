#include "service/ServiceVersion.h"

namespace brimo {

std::filesystem::path serviceInfoDictionaryPath() {
    std::error_code ignored;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return executable.parent_path().parent_path() / "Info.plist";
}

int64_t serviceVersion(const std::filesystem::path& infoDictionary) {
    return parseBundleVersion(
        infoDictionaryString(infoDictionary, "CFBundleVersion").value_or("0"));
}

} // namespace brimo
