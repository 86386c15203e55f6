#include "app/MainBundle.h"

#include "shared/BundleInfo.h"

#include <mutex>

namespace brimo::app {
namespace {

std::mutex bundleMutex;
std::optional<MainBundle> installed;

std::filesystem::path runningBundle() {
    std::error_code ignored;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ignored);
    // Outside a bundle (a bare build), the executable's folder stands in for it.
    return enclosingBundle(executable).value_or(executable.parent_path()).lexically_normal();
}

} // namespace

MainBundle MainBundle::current() {
    std::lock_guard lock(bundleMutex);
    if (!installed) installed.emplace(runningBundle());
    return *installed;
}

void MainBundle::install(std::optional<std::filesystem::path> bundle) {
    std::lock_guard lock(bundleMutex);
    if (bundle)
        installed.emplace(bundle->lexically_normal());
    else
        installed.reset();
}

std::optional<std::string> MainBundle::infoString(const char* key) const {
    return infoDictionaryString(infoDictionaryPath(bundle_), key);
}

std::filesystem::path MainBundle::executable(const std::string& name) const {
    return contents() / "MacOS" / name;
}

} // namespace brimo::app
