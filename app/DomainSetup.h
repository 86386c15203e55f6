#pragma once

#include "app/LoginItem.h"
#include "app/MainBundle.h"
#include "app/Workspace.h"

#include <QUrl>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The app's calls into the desktop that concern the drive itself rather than the bridge
// service: opening it in the file manager, whether its file system can run, the page on making
// it usable, and the app as a login item. Used on the main thread only.
namespace brimo::app {

// What the drive's file system needs of this machine besides its executable.
struct DriveRequirements {
    std::filesystem::path fuseDevice = "/dev/fuse";
    // Where fusermount3 may be installed (absolute paths, never looked up in PATH).
    std::vector<std::filesystem::path> fusermountCandidates = {"/usr/bin/fusermount3",
                                                               "/bin/fusermount3"};
    // Where to see whether the drive is mounted.
    std::filesystem::path mountTable = "/proc/self/mountinfo";
};

class DomainSetup {
public:
    static constexpr const char* kExtensionBundleIdentifier = "Ozm.Tarvel.Mac.FSKit";

    explicit DomainSetup(Workspace& workspace, MainBundle bundle = MainBundle::current(),
                         DriveRequirements requirements = {});

    // The drive's root as the file manager shows it. The desktop has no File Provider, so this
    // logs that the manager is unavailable and gives none.
    std::optional<QUrl> userVisibleRootURL() const;
    // The root URL, else the mount point when the drive is mounted there (the mount table says
    // so: a stuck file system would freeze the window that looked); else only a log line.
    void openInFinder();
    // The bundle's file-system extension (found by its identifier among
    // Contents/Extensions/*.appex) is there and can run: its executable is executable, the FUSE
    // device opens read-write and fusermount3 is installed.
    bool isEnabled() const;
    // The bundle's help page on making the drive usable; nothing when the page is missing.
    void openFSKitSettings();
    // Failures are only logged.
    void registerLoginItem();
    void unregisterLoginItem();
    const LoginItem& loginItem() const { return loginItem_; }

    // $HOME/Brimo, where the service mounts the drive; none when HOME is not absolute.
    static std::optional<std::filesystem::path> mountPoint();
    std::filesystem::path helpPage() const;

private:
    // Why the extension bundle cannot run, or none when it can.
    std::optional<std::string> unusableReason(const std::filesystem::path& extension) const;

    Workspace& workspace_;
    MainBundle bundle_;
    DriveRequirements requirements_;
    LoginItem loginItem_;
};

} // namespace brimo::app
