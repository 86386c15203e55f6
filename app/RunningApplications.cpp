#include "app/RunningApplications.h"

#include "shared/BundleInfo.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::app {

namespace fs = std::filesystem;

std::vector<RunningApplication>
RunningApplications::withBundleIdentifier(std::string_view identifier) const {
    std::vector<RunningApplication> matching;
    for (auto& application : all())
        if (application.bundleIdentifier == identifier) matching.push_back(std::move(application));
    return matching;
}

std::vector<RunningApplication> ProcRunningApplications::all() const {
    std::vector<RunningApplication> applications;
    const uid_t uid = ::getuid();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0 || info.st_uid != uid) continue;
        std::error_code unreadable;
        const fs::path executable = fs::read_symlink(entry.path() / "exe", unreadable);
        if (unreadable) continue;
        const auto bundle = enclosingBundle(executable);
        if (!bundle) continue;
        applications.push_back(
            {static_cast<pid_t>(std::stol(name)),
             infoDictionaryString(infoDictionaryPath(*bundle), "CFBundleIdentifier"), *bundle,
             executable});
    }
    return applications;
}

bool ProcRunningApplications::forceTerminate(const RunningApplication& application) {
    return ::kill(application.processIdentifier, SIGKILL) == 0;
}

} // namespace brimo::app
