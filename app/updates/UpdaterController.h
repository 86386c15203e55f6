#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// The update framework the app drives: it reads the feed its delegate names, finds an update
// newer than the running build, downloads, checks, extracts and installs it, and tells the
// delegate each step. The app only starts it, asks for checks and watches whether it can check.
namespace brimo::app::updates {

// One release in the feed, as the update cycle sees it.
struct UpdateItem {
    std::string displayVersion; // the item's short version string, e.g. "1.4"
    std::string version;        // the item's build number, e.g. "57"
    QUrl url;                   // the archive (the enclosure)
    std::optional<int64_t> length;
    std::string edSignature; // Base64 Ed25519 signature of the archive; empty when unsigned
};

struct UpdateError {
    std::string domain;
    int64_t code = 0;
    std::string description;
};

// What started an update cycle.
enum class UpdateCheck { updates, updatesInBackground };
// "updates", "updatesInBackground": the kind as the cycle's last line names it.
const char* updateCheckName(UpdateCheck check);

// Told of every step of a cycle, on the main thread (the app's UpdaterDelegate implements it).
class UpdaterDelegateProtocol {
public:
    virtual ~UpdaterDelegateProtocol() = default;
    // The feed to read; none when there is none yet.
    virtual std::optional<QString> feedURLString() = 0;
    virtual void didFindValidUpdate(const UpdateItem& item) = 0;
    virtual void didNotFindUpdate(const UpdateError& error) = 0;
    virtual void willDownloadUpdate(const UpdateItem& item, const QNetworkRequest& request) = 0;
    virtual void didDownloadUpdate(const UpdateItem& item) = 0;
    virtual void failedToDownloadUpdate(const UpdateItem& item, const UpdateError& error) = 0;
    virtual void willExtractUpdate(const UpdateItem& item) = 0;
    virtual void didExtractUpdate(const UpdateItem& item) = 0;
    virtual void willInstallUpdate(const UpdateItem& item) = 0;
    virtual void didAbortWithError(const UpdateError& error) = 0;
    virtual void didFinishUpdateCycle(UpdateCheck check,
                                      const std::optional<UpdateError>& error) = 0;
};

// startUpdater() failed; what() is the description the log shows.
class UpdaterStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The framework's controller and updater in one, on the main thread.
class UpdaterController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    using QObject::QObject;
    // Throws UpdaterStartError. Starting twice is an error.
    virtual void startUpdater() = 0;
    virtual void checkForUpdatesInBackground() = 0;
    // The user asked: "no update" and failures are shown to the user too.
    virtual void checkForUpdates() = 0;
    // False before the start and while a cycle runs.
    virtual bool canCheckForUpdates() const = 0;

signals:
    void canCheckForUpdatesChanged(bool value);
};

} // namespace brimo::app::updates
