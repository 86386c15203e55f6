#include "app/MoveToApplicationsService.h"

#include "app/MainBundle.h"
#include "app/Relaunch.h"
#include "app/SystemTools.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtGlobal>
#include <fstream>
#include <sstream>

namespace brimo::app {
namespace {

namespace fs = std::filesystem;

// The alerts' texts; the alerts translate them for the desktop they are shown on.
constexpr const char* kMoveMessage = QT_TRANSLATE_NOOP("Alerts", "Move to Applications folder?");
constexpr const char* kMoveInformative = QT_TRANSLATE_NOOP(
    "Alerts", "Brimo must be in the Applications folder so the file system extension can load.");
constexpr const char* kMoveButton = QT_TRANSLATE_NOOP("Alerts", "Move to Applications Folder");
constexpr const char* kFailedMessage =
    QT_TRANSLATE_NOOP("Alerts", "Could not move to Applications folder");
constexpr const char* kFailedInformative =
    QT_TRANSLATE_NOOP("Alerts", "Drag Brimo into /Applications, then open it from there.");
constexpr const char* kRunningMessage = QT_TRANSLATE_NOOP("Alerts", "Brimo is already running");
constexpr const char* kRunningInformative = QT_TRANSLATE_NOOP(
    "Alerts", "The copy of Brimo in the Applications folder is already running. This copy was "
              "not installed; Brimo will switch to the running copy instead.");

// Normalised, without a trailing separator.
fs::path standardized(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

fs::path resolvingSymlinks(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    return standardized(ec ? path : resolved);
}

fs::path defaultApplicationsFolder() {
    const fs::path folder = fs::path(QDir::homePath().toStdString()) / "Applications";
    std::error_code ignored; // a folder that cannot be made fails the copy into it, reported there
    fs::create_directories(folder, ignored);
    return folder;
}

// A file, a folder or a symbolic link, even one that leads nowhere.
bool somethingAt(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Qt makes the home Trash only inside an existing data folder, and when it cannot, it reports
// success and moves the item into "files" of the working folder instead. So the data folder is
// made first, and a Trash that cannot be a folder fails here.
bool moveToTrash(const fs::path& path) {
    const fs::path data =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    const fs::path trash = data / "Trash";
    std::error_code ec;
    fs::create_directories(data, ec);
    if (!fs::is_directory(data, ec) || (somethingAt(trash) && !fs::is_directory(trash, ec)))
        return false;
    return QFile::moveToTrash(QString::fromStdString(path.string()));
}

// `path` is `folder` or lies below it.
bool isInside(const fs::path& path, const fs::path& folder) {
    const std::string text = path.string();
    return text == folder.string() || text.starts_with(folder.string() + "/");
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

MoveToApplicationsService::MoveToApplicationsService(Dependencies dependencies)
    : dependencies_(std::move(dependencies))
    , bundle_(
          standardized(dependencies_.bundle ? *dependencies_.bundle : MainBundle::current().url()))
    , applications_(resolvingSymlinks(dependencies_.applicationsFolder
                                          ? *dependencies_.applicationsFolder
                                          : defaultApplicationsFolder())) {}

bool MoveToApplicationsService::moveToApplicationsIfNeeded() {
    if (bundle_.extension() != ".app") return false;
    if (isInApplicationsFolder(bundle_) || isInPackageFolder(bundle_) ||
        isNestedInAnotherApp(bundle_))
        return false;

    dependencies_.alerts.activateApp();
    // No way to decline: however the alert ends, the move follows.
    dependencies_.alerts.runModal({kMoveMessage, kMoveInformative, {kMoveButton}, {}});
    try {
        relocate(bundle_, destination());
    } catch (const std::exception& error) {
        dependencies_.alerts.runModal({kFailedMessage, kFailedInformative, {"OK"}, error.what()});
        dependencies_.terminate();
    }
    return true;
}

bool MoveToApplicationsService::isInApplicationsFolder(const fs::path& bundle) const {
    return isInside(resolvingSymlinks(bundle), applications_);
}

bool MoveToApplicationsService::isInPackageFolder(const fs::path& bundle) const {
    return isInside(resolvingSymlinks(bundle), resolvingSymlinks(dependencies_.packageFolder));
}

bool MoveToApplicationsService::isNestedInAnotherApp(const fs::path& bundle) {
    for (const auto& component : standardized(bundle).parent_path())
        if (component.extension() == ".app") return true;
    return false;
}

std::optional<ImageMount>
MoveToApplicationsService::diskImageMountPoint(const fs::path& bundle) const {
    return imageMountHolding(readFile(dependencies_.mountTable), standardized(bundle));
}

bool MoveToApplicationsService::isRunningCopy(const fs::path& destination) const {
    const fs::path wanted = standardized(destination);
    for (const auto& application : dependencies_.runningApplications.all())
        if (standardized(application.bundleURL) == wanted) return true;
    return false;
}

void MoveToApplicationsService::relocate(const fs::path& source, const fs::path& destination) {
    const auto image = diskImageMountPoint(source);

    if (somethingAt(destination) && isRunningCopy(destination)) {
        dependencies_.alerts.runModal({kRunningMessage, kRunningInformative, {"OK"}, {}});
        dependencies_.workspace.openApplication(destination);
        dependencies_.terminate();
        return;
    }

    dependencies_.resetServiceBeforeRelocate();
    if (somethingAt(destination) && !moveToTrash(destination))
        throw RelocationError("\"" + destination.string() + "\" could not be moved to the Trash.");
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    if (image)
        runShell("(/bin/sleep 5; " + image->detachCommand + " " +
                 shellQuoted(image->mountPoint.string()) + ") &");
    else
        // The copy is made; a source left behind is only clutter.
        moveToTrash(source);
    // The new copy's helper boots the service out: the source may be in the Trash by then.
    runShell(relaunchScript(dependencies_.processIdentifier, destination));
    dependencies_.terminate();
}

void MoveToApplicationsService::runShell(const std::string& script) {
    runTool("/bin/sh", {"-c", script});
}

} // namespace brimo::app
