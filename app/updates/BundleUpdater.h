#pragma once

#include "app/updates/UncachedRequest.h"
#include "app/updates/UpdaterController.h"

#include <QPointer>
#include <QSslConfiguration>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unistd.h>

class QNetworkAccessManager;
class QSettings;

// The app's own update cycle behind the framework's calls: reads the feed the delegate names,
// picks the newest build above the running one, asks the user, downloads the archive, checks
// its length and Ed25519 signature, unpacks it beside the bundle, puts it on disk, swaps it in
// for the running bundle in one rename and relaunches the new copy once this process has exited.
//
// Versions are ordered by build number alone: CFBundleVersion and each item's version are
// signed decimal integers compared numerically ("10" is newer than "9"); an item whose build is
// not such a number is never offered.
namespace brimo::app::updates {

// The information-dictionary key holding the Base64 Ed25519 key that signs update archives.
inline constexpr const char* kPublicKeyInfoKey = "SUPublicEDKey";
// The user-defaults key holding the build the user chose to skip.
inline constexpr const char* kSkippedVersionKey = "SUSkippedVersion";
// The error domain of the cycle's failures.
inline constexpr const char* kUpdaterErrorDomain = "SUSparkleErrorDomain";

// The failures of a cycle, numbered as the framework numbers them.
enum class UpdaterErrorCode : int64_t {
    noPublicKey = 1,
    insecureFeedURL = 3,
    invalidFeedURL = 4,
    invalidHostVersion = 7,
    appcastParse = 1000,
    noUpdate = 1001,
    appcast = 1002,
    temporaryDirectory = 2000,
    download = 2001,
    unarchiving = 3000,
    signature = 3001,
    validation = 3002,
    fileCopy = 4000,
    installationWriteNoPermission = 4012,
};

// What the user sees of a cycle, on the main thread. Modal: each call returns the user's answer.
class UpdatePrompt {
public:
    enum class Choice { installNow, later, skipThisVersion };

    virtual ~UpdatePrompt() = default;
    // A check found `item`, newer than `installedDisplayVersion`.
    virtual Choice askToInstall(const UpdateItem& item,
                                const std::string& installedDisplayVersion) = 0;
    // The archive's download has begun. Until downloadEnded(), calling `cancel` on the main thread
    // stops it and ends the cycle; the installed copy stays as it is.
    virtual void downloadStarted(const UpdateItem&, std::function<void()> /*cancel*/) {}
    // Bytes of the archive received so far, and the total when known.
    virtual void downloadProgress(int64_t received, std::optional<int64_t> total) = 0;
    // The download is over, whichever way it ended.
    virtual void downloadEnded() {}
    // Only for checks the user started: there is no newer build.
    virtual void showNoUpdate(const UpdateError& error) = 0;
    // Only for checks the user started: the cycle failed.
    virtual void showError(const UpdateError& error) = 0;
};

class BundleUpdater : public UpdaterController {
    Q_OBJECT

public:
    struct Options {
        // Both outlive the updater.
        QNetworkAccessManager& network;
        UpdaterDelegateProtocol& delegate;
        UpdatePrompt& prompt;
        QSettings& defaults;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The running bundle (…/Brimo.app), its CFBundleVersion and CFBundleShortVersionString.
        std::filesystem::path bundle;
        std::string bundleVersion;
        std::string bundleDisplayVersion;
        // The Base64 Ed25519 key from the bundle's information dictionary; without a valid one
        // the updater does not start, so no archive is ever installed unchecked.
        std::string publicKey;
        // Where downloads are unpacked; it must share the bundle's file system. Default: the
        // bundle's folder.
        std::optional<std::filesystem::path> workDirectory{};
        // The longest wait for the next bytes of the feed or the archive.
        std::chrono::milliseconds transferTimeout = std::chrono::seconds(60);
        // The process the relaunch waits for, and how it is ended once the new copy is in place.
        pid_t processIdentifier = ::getpid();
        std::function<void()> terminate;
        // The largest archive accepted when the feed gives no length (with one, the length is the
        // limit): well above the bundle's size, far below what fills a disk.
        int64_t maximumDownloadBytes = int64_t{512} * 1024 * 1024;
        // The longest the feed's fetch may take however steadily bytes come: twice the silence.
        std::chrono::milliseconds feedDeadline = std::chrono::seconds(120);
        AppClock& clock = updaterClock();
        // Makes an open file or folder durable, fsync(2); tests watch it.
        std::function<int(int fd)> sync = ::fsync;
    };

    explicit BundleUpdater(Options options, QObject* parent = nullptr);
    // A cycle still running is abandoned: its requests aborted, its files removed.
    ~BundleUpdater() override;

    // Throws UpdaterStartError for a missing or malformed key or CFBundleVersion, or a second
    // start. Once started it removes the hidden work folders that a crash or power cut left beside
    // the bundle: only one copy of the app runs, so no cycle is using them.
    void startUpdater() override;
    void checkForUpdatesInBackground() override;
    void checkForUpdates() override;
    bool canCheckForUpdates() const override;

private:
    class Cycle;

    void startCycle(UpdateCheck check);
    void cycleEnded();
    void setCanCheck(bool value);

    Options options_;
    int64_t installedBuild_ = 0;
    bool started_ = false;
    bool canCheck_ = false;
    QPointer<Cycle> cycle_;
};

} // namespace brimo::app::updates
