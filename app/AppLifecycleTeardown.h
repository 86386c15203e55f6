#pragma once

#include "app/RunningApplications.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// Tearing down a stale or stuck bridge service: killing leftover service and extension
// processes and booting the service out of both launch domains. Runs on the main thread; every
// call waits for the tools it starts.
namespace brimo::app {

class AppLifecycleTeardown {
public:
    static constexpr const char* kServiceBundleIdentifier = "Ozm.Tarvel.Mac.XPC";
    static constexpr const char* kExtensionBundleIdentifier = "Ozm.Tarvel.Mac.FSKit";
    static constexpr const char* kServiceProcessName = "BrimoService";
    static constexpr const char* kExtensionProcessName = "Brimofs";

    // The bundle's launchctl stand-in, Contents/MacOS/brimo-launchctl.
    static std::filesystem::path bundledLaunchctl();

    explicit AppLifecycleTeardown(RunningApplications& applications,
                                  std::filesystem::path pgrepPath = "/usr/bin/pgrep",
                                  std::filesystem::path launchctlPath = bundledLaunchctl(),
                                  pid_t ownPid = ::getpid());

    // Force-terminates this user's service and extension processes, never the app itself.
    void killLeftoverHelpers();
    // This user's processes named exactly `name`; empty when pgrep cannot run.
    std::vector<pid_t> pgrepPIDs(std::string_view name);
    // The service's job in the user domain, then in the gui domain.
    static std::vector<std::string> bootoutTargets();
    // Boots the service out of every target, whatever each one returns.
    void bootoutService();
    // launchctl's exit status, or -1 when it could not be started.
    int runLaunchctl(const std::vector<std::string>& arguments);
    bool isServiceProcessRunning();

    // pgrep's output: one decimal 32-bit number (optional sign) a line; any Unicode newline
    // ends a line, empty and unparsable lines are skipped, invalid UTF-8 yields nothing.
    static std::vector<pid_t> parsePIDs(std::string_view output);

private:
    RunningApplications& applications_;
    std::filesystem::path pgrepPath_;
    std::filesystem::path launchctlPath_;
    pid_t ownPid_;
};

} // namespace brimo::app
