#pragma once

#include <QUrl>
#include <filesystem>

// The desktop's workspace: opening places and applications the way the file manager would.
namespace brimo::app {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a folder, a page or a URL with the desktop's opener; false when none could start.
    virtual bool openURL(const QUrl& url) = 0;
    // Starts the bundle's Contents/MacOS/Brimo in a session of its own, not waiting for it.
    virtual bool openApplication(const std::filesystem::path& bundle) = 0;
};

// QDesktopServices (xdg-open) for places; a detached child for applications.
class DesktopWorkspace final : public Workspace {
public:
    bool openURL(const QUrl& url) override;
    bool openApplication(const std::filesystem::path& bundle) override;
};

} // namespace brimo::app
