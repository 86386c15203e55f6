// Before any Qt header, whose `emit` macro would rewrite the logger's member of that name.
#include "shared/Log.h"

#include "app/DomainSetup.h"
#include "shared/BundleInfo.h"
#include "shared/MountTable.h"
#include "shared/messages/SharedFileStorage.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using log::appLog;

QUrl fileURL(const fs::path& path) {
    return QUrl::fromLocalFile(QFile::decodeName(path.c_str()));
}

bool isExecutableFile(const fs::path& path) {
    std::error_code ignored;
    return fs::is_regular_file(path, ignored) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

DomainSetup::DomainSetup(Workspace& workspace, MainBundle bundle, DriveRequirements requirements)
    : workspace_(workspace)
    , bundle_(bundle)
    , requirements_(std::move(requirements))
    , loginItem_(std::move(bundle)) {}

std::optional<QUrl> DomainSetup::userVisibleRootURL() const {
    appLog.error("Unable to open Brimo in Finder: File Provider manager unavailable");
    return std::nullopt;
}

void DomainSetup::openInFinder() {
    if (const auto root = userVisibleRootURL()) {
        workspace_.openURL(*root);
        return;
    }
    if (const auto point = mountPoint();
        point && driveMountedAt(requirements_.mountTable, *point)) {
        workspace_.openURL(fileURL(*point));
        return;
    }
    appLog.error("Unable to open Brimo in Finder: no File Provider URL or mount point");
}

bool DomainSetup::isEnabled() const {
    // No Extensions folder means nothing is installed; one that cannot be listed is a failure.
    const fs::path folder = bundle_.contents() / "Extensions";
    std::vector<fs::path> extensions;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error))
        if (entry->path().extension() == ".appex") extensions.push_back(entry->path());
    if (error && error != std::errc::no_such_file_or_directory) {
        const std::string description = "cannot list " + folder.string() + ": " + error.message();
        appLog.error("Failed to fetch FSKit extensions: %s", description.c_str());
        return false;
    }

    std::sort(extensions.begin(), extensions.end());
    const auto found =
        std::find_if(extensions.begin(), extensions.end(), [](const fs::path& extension) {
            return infoDictionaryString(infoDictionaryPath(extension), "CFBundleIdentifier") ==
                   kExtensionBundleIdentifier;
        });
    if (found == extensions.end()) {
        appLog.info("FSKit extension not found among installed modules");
        return false;
    }
    if (const auto reason = unusableReason(*found)) {
        appLog.info("FSKit extension is not usable: %s", reason->c_str());
        return false;
    }
    return true;
}

std::optional<std::string> DomainSetup::unusableReason(const fs::path& extension) const {
    const auto name = infoDictionaryString(infoDictionaryPath(extension), "CFBundleExecutable");
    const fs::path executable =
        extension / "Contents" / "MacOS" / name.value_or(extension.stem().string());
    if (!isExecutableFile(executable)) return executable.string() + " is not an executable file";

    const int device = ::open(requirements_.fuseDevice.c_str(), O_RDWR | O_CLOEXEC);
    if (device < 0)
        return requirements_.fuseDevice.string() +
               " cannot be opened read-write: " + std::strerror(errno);
    ::close(device);

    if (std::none_of(requirements_.fusermountCandidates.begin(),
                     requirements_.fusermountCandidates.end(), isExecutableFile))
        return "fusermount3 is not installed";
    return std::nullopt;
}

void DomainSetup::openFSKitSettings() {
    std::error_code ignored;
    if (fs::exists(helpPage(), ignored)) workspace_.openURL(fileURL(helpPage()));
}

void DomainSetup::registerLoginItem() {
    try {
        loginItem_.registerItem();
    } catch (const LoginItemError& error) {
        appLog.error("login item register failed: %s", error.what());
        return;
    }
    appLog.info("login item registered; status=%s", statusName(loginItem_.status()));
}

void DomainSetup::unregisterLoginItem() {
    try {
        loginItem_.unregisterItem();
    } catch (const LoginItemError& error) {
        appLog.error("login item unregister failed: %s", error.what());
        return;
    }
    appLog.info("login item unregistered");
}

std::optional<fs::path> DomainSetup::mountPoint() {
    try {
        return SharedFileStorage::driveMountPoint();
    } catch (const SharedFileStorageException&) {
        return std::nullopt;
    }
}

fs::path DomainSetup::helpPage() const {
    return bundle_.contents() / "Resources" / "Help" / "enable-drive.html";
}

} // namespace brimo::app
