#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The desktop's running applications: this user's processes whose executable lies in a bundle
// (the nearest enclosing .app, .xpc or .appex folder with Contents/Info.plist).
namespace brimo::app {

struct RunningApplication {
    pid_t processIdentifier = 0;
    std::optional<std::string> bundleIdentifier;
    std::filesystem::path bundleURL;
    std::filesystem::path executableURL;
};

class RunningApplications {
public:
    virtual ~RunningApplications() = default;
    virtual std::vector<RunningApplication> all() const = 0;
    // SIGKILL; false when the signal could not be sent.
    virtual bool forceTerminate(const RunningApplication& application) = 0;

    std::vector<RunningApplication> withBundleIdentifier(std::string_view identifier) const;
};

// Reads /proc: the processes of the calling user.
class ProcRunningApplications final : public RunningApplications {
public:
    std::vector<RunningApplication> all() const override;
    bool forceTerminate(const RunningApplication& application) override;
};

} // namespace brimo::app
