#include "app/updates/AppUpdater.h"

#include "shared/Log.h"

#include <string>

namespace brimo::app::updates {

using log::appLog;

namespace {

std::string absoluteString(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

} // namespace

AppUpdater::AppUpdater(Options options, QObject* parent)
    : QObject(parent)
    , updaterDelegate_(options.output)
    , controller_(options.makeController(updaterDelegate_))
    , resolver_({.network = options.network,
                 .cloudKit = CloudKitConfiguration::fromBundle(options.bundle),
                 .tls = options.tls,
                 .clock = options.clock})
    , mirror_({.network = options.network,
               .defaults = options.defaults,
               .stack = options.stack,
               .tls = options.tls,
               .clock = options.clock})
    , defaultFeed_(defaultFeedURL(options.bundle))
    , websiteURL_(webSiteBase(defaultFeed_).value_or(QUrl())) {
    canCheckForUpdates_ = controller_->canCheckForUpdates();
    // The connection ends with either object, so the controller never reaches a gone updater.
    connect(controller_.get(), &UpdaterController::canCheckForUpdatesChanged, this,
            &AppUpdater::setCanCheckForUpdates);
}

AppUpdater::~AppUpdater() {
    controller_->disconnect(this);
}

void AppUpdater::start(std::function<void()> done) {
    // The resolver and the mirror are members: once the updater is gone their completions never
    // run.
    resolver_.resolve([this, done = std::move(done)](ReleaseFeeds feeds) mutable {
        if (!feeds.error) return useCandidates(feeds.candidates, std::move(done));
        appLog.info("CloudKit feed resolve failed, using default: %s", feeds.error->c_str());
        applyFeed(defaultFeed_);
        startUpdaterIfNeeded();
        if (done) done();
    });
}

void AppUpdater::useCandidates(const std::vector<QUrl>& candidates, std::function<void()> done) {
    for (const QUrl& candidate : candidates)
        appLog.info("Sparkle feed candidate from CloudKit: %s", absoluteString(candidate).c_str());
    mirror_.race(candidates,
                 [this, candidates, done = std::move(done)](std::optional<URLFetchWinner> winner) {
                     const QUrl feed = winner ? winner->url : mirror_.stackTop(candidates);
                     appLog.info("Sparkle feed: %s", absoluteString(feed).c_str());
                     applyFeed(feed);
                     startUpdaterIfNeeded();
                     if (done) done();
                 });
}

void AppUpdater::applyFeed(const QUrl& feed) {
    updaterDelegate_.feedURL = feed;
    const std::optional<QUrl> website = webSiteBase(feed);
    if (!website || *website == websiteURL_) return;
    websiteURL_ = *website;
    emit websiteURLChanged(websiteURL_);
}

void AppUpdater::startUpdaterIfNeeded() {
    if (isStarted_) return;
    try {
        controller_->startUpdater();
    } catch (const UpdaterStartError& error) {
        appLog.error("Sparkle updater failed to start: %s", error.what());
        return;
    }
    isStarted_ = true;
    emit isStartedChanged(true);
    controller_->checkForUpdatesInBackground();
}

void AppUpdater::checkForUpdates() {
    if (isStarted_) controller_->checkForUpdates();
}

void AppUpdater::setCanCheckForUpdates(bool value) {
    if (value == canCheckForUpdates_) return;
    canCheckForUpdates_ = value;
    emit canCheckForUpdatesChanged(value);
}

} // namespace brimo::app::updates
