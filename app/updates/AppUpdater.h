#pragma once

#include "app/MainBundle.h"
#include "app/updates/AppcastMirror.h"
#include "app/updates/ReleaseFeedResolver.h"
#include "app/updates/UpdaterController.h"
#include "app/updates/UpdaterDelegate.h"

#include <QObject>
#include <QSslConfiguration>
#include <QUrl>
#include <functional>
#include <iostream>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QSettings;

// The app's updater: at start it picks the feed (the current release's mirrors raced, or the
// default feed when the release record cannot be read), starts the update framework once and
// follows whether it can check. Main thread only.
namespace brimo::app::updates {

class AppUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isStarted READ isStarted NOTIFY isStartedChanged)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(QUrl websiteURL READ websiteURL NOTIFY websiteURLChanged)

public:
    // Creates the framework's controller, not started, around the delegate it is given.
    using ControllerFactory =
        std::function<std::unique_ptr<UpdaterController>(UpdaterDelegateProtocol& delegate)>;

    // The references must outlive the updater.
    struct Options {
        ControllerFactory makeController;
        QNetworkAccessManager& network;
        QSettings& defaults;
        // Its information dictionary names the CloudKit service and the default feed.
        MainBundle bundle = MainBundle::current();
        AppcastFeedStack& stack = AppcastFeedStack::shared();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // Where the delegate writes its lines.
        std::ostream& output = std::cout;
        // The clock of the release query's and the mirror race's deadlines.
        AppClock& clock = updaterClock();
    };

    // Contacts no server.
    explicit AppUpdater(Options options, QObject* parent = nullptr);
    ~AppUpdater() override;

    bool isStarted() const { return isStarted_; }
    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    // Empty when the current feed names no web site.
    QUrl websiteURL() const { return websiteURL_; }

    // Resolves the feed, applies it and starts the framework unless it runs already; a later
    // start only changes the feed. `done` runs once afterwards on the main thread, never from
    // inside this call, and never once the updater is gone.
    void start(std::function<void()> done = {});
    // The user's check; only once the framework has started.
    void checkForUpdates();

signals:
    void isStartedChanged(bool value);
    void canCheckForUpdatesChanged(bool value);
    void websiteURLChanged(const QUrl& value);

private:
    void useCandidates(const std::vector<QUrl>& candidates, std::function<void()> done);
    void applyFeed(const QUrl& feed);
    void startUpdaterIfNeeded();
    void setCanCheckForUpdates(bool value);

    UpdaterDelegate updaterDelegate_;
    std::unique_ptr<UpdaterController> controller_;
    ReleaseFeedResolver resolver_;
    AppcastMirror mirror_;
    QUrl defaultFeed_;
    bool isStarted_ = false;
    bool canCheckForUpdates_ = false;
    QUrl websiteURL_;
};

} // namespace brimo::app::updates
