#pragma once

#include "app/Alerts.h"
#include "app/DiskImages.h"
#include "app/RunningApplications.h"
#include "app/Workspace.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <unistd.h>

// Moves the app into the Applications folder at launch: the file-system extension only loads
// from there.
namespace brimo::app {

// A step of the relocation that failed; what() is shown with the error alert.
class RelocationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class MoveToApplicationsService {
public:
    struct Dependencies {
        RunningApplications& runningApplications;
        Workspace& workspace;
        Alerts& alerts;
        // Stops the app's service so that the next start comes from the new copy.
        std::function<void()> resetServiceBeforeRelocate;
        // Ends the app; called once when this process is going away.
        std::function<void()> terminate;
        // Default: the main bundle.
        std::optional<std::filesystem::path> bundle{};
        // Default: ~/Applications, created when missing.
        std::optional<std::filesystem::path> applicationsFolder{};
        std::filesystem::path mountTable = "/proc/self/mountinfo";
        // Where the system's package installs the app. A copy there belongs to the package
        // manager, which also keeps it current: it stays where it is.
        std::filesystem::path packageFolder = "/opt/Brimo";
        // The process the relaunch waits for to exit.
        pid_t processIdentifier = ::getpid();
    };

    explicit MoveToApplicationsService(Dependencies dependencies);

    // The launch-time check: true when this process is relocating and will terminate.
    bool moveToApplicationsIfNeeded();

    bool isInApplicationsFolder(const std::filesystem::path& bundle) const;
    bool isInPackageFolder(const std::filesystem::path& bundle) const;
    static bool isNestedInAnotherApp(const std::filesystem::path& bundle);
    std::optional<ImageMount> diskImageMountPoint(const std::filesystem::path& bundle) const;
    bool isRunningCopy(const std::filesystem::path& destination) const;
    // Copies the bundle to `destination`, cleans up, detaches its disk image and relaunches
    // the copy. Throws RelocationError or std::filesystem::filesystem_error.
    void relocate(const std::filesystem::path& source, const std::filesystem::path& destination);
    // Runs "/bin/sh -c script" with no input or output and waits for the shell.
    static void runShell(const std::string& script);

    const std::filesystem::path& applicationsFolder() const { return applications_; }
    std::filesystem::path destination() const { return applications_ / bundle_.filename(); }

private:
    Dependencies dependencies_;
    std::filesystem::path bundle_;
    std::filesystem::path applications_;
};

} // namespace brimo::app
