#pragma once

#include "app/updates/UncachedRequest.h"

#include <QByteArray>
#include <QObject>
#include <QSslConfiguration>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QSettings;

// Picking the update feed's mirror. Every candidate feed is fetched, parsed and its download
// probed, all at once; the first candidate that passes every step wins. The winner is kept in the
// user defaults, so that a later launch whose race finds nothing still starts from the last good
// mirror.
namespace brimo::app::updates {

struct URLFetchWinner {
    QUrl url;        // the candidate feed
    QByteArray data; // the feed bytes fetched from it
};

// The user-defaults entry holding the absolute URL of the last winning feed.
inline constexpr const char* kAppcastWinnerKey = "Tarvel.AppcastMirror.winnerURL";
// None when the entry is missing, empty or not a valid URL.
std::optional<QUrl> persistedWinner(const QSettings& defaults);
// Stores the URL's absolute string; none removes the entry.
void persistWinner(QSettings& defaults, const std::optional<QUrl>& url);

// The feed URLs used in this process; the last one is the current top. Created on first use and
// never shortened.
class AppcastFeedStack {
public:
    // The app's one stack, kept for the life of the process. Tests make their own.
    static AppcastFeedStack& shared();

    bool isCreated() const { return !urls_.empty(); }
    const std::vector<QUrl>& urls() const { return urls_; }
    // Empty until created.
    QUrl top() const { return urls_.empty() ? QUrl() : urls_.back(); }

    // Unless created already: [first candidate], or [first candidate, persisted] when the
    // persisted winner is one of the candidates. Without candidates nothing is created.
    void createIfNeeded(const std::vector<QUrl>& candidates, const std::optional<QUrl>& persisted);
    void push(const QUrl& url);

private:
    std::vector<QUrl> urls_;
};

// The product's web site for a feed URL: an https feed's address without the feed file and
// without a trailing "download" folder; none for other schemes or without a host.
std::optional<QUrl> webSiteBase(const QUrl& feedURL);

// Runs mirror races on Qt's main thread with the network manager it is given, which must outlive
// it. Requests bypass the local cache and trust the given TLS configuration's authorities.
class AppcastMirror : public QObject {
public:
    struct Options {
        QNetworkAccessManager& network;
        QSettings& defaults;
        AppcastFeedStack& stack = AppcastFeedStack::shared();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // Both are the longest wait for the next bytes of an answer.
        std::chrono::milliseconds feedTimeout = std::chrono::seconds(60);
        std::chrono::milliseconds probeTimeout = std::chrono::seconds(10);
        // The longest a whole fetch, and the whole race, may take however steadily bytes come:
        // twice the feed's silence and three times the probe's, and the race no longer than a
        // candidate whose two steps each end just in time.
        std::chrono::milliseconds feedDeadline = std::chrono::seconds(120);
        std::chrono::milliseconds probeDeadline = std::chrono::seconds(30);
        std::chrono::milliseconds raceDeadline = std::chrono::seconds(150);
        AppClock& clock = updaterClock();
    };
    using Completion = std::function<void(std::optional<URLFetchWinner>)>;

    explicit AppcastMirror(Options options, QObject* parent = nullptr);
    // Aborts the races still running; their completions never run.
    ~AppcastMirror() override;

    // Races the candidates. `done` runs once on the main thread, never from inside this call, with
    // the winner or none; a feed body over kMaxFeedBytes loses. Before it runs, a winner has been
    // pushed on the feed stack and persisted; a race without one changes nothing. The losers'
    // requests are aborted.
    void race(std::vector<QUrl> candidates, Completion done);

    // The feed stack's top, creating the stack from the candidates if needed.
    QUrl stackTop(const std::vector<QUrl>& candidates);

private:
    void recordWinner(const std::vector<QUrl>& candidates, const URLFetchWinner& winner);

    Options options_;
};

} // namespace brimo::app::updates
