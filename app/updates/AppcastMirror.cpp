#include "app/updates/AppcastMirror.h"

#include "app/updates/AppcastParser.h"
#include "shared/Log.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <memory>
#include <string>

namespace brimo::app::updates {

namespace {

// The probe asks for the first 100 KiB of the download.
constexpr qint64 kProbeBytes = 102400;

std::string absoluteString(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

// Only an answer that arrived whole, without error, with status 200–299 passes.
bool succeeded(QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply.error() != QNetworkReply::NoError || !status.isValid()) return false;
    const int code = status.toInt();
    return code >= 200 && code <= 299;
}

bool hasExtension(const QString& component) {
    const qsizetype dot = component.lastIndexOf('.');
    return dot > 0 && dot < component.size() - 1;
}

// One race: a child per candidate fetches the feed, parses it and probes its download. The first
// child to pass ends the race and the others' requests are aborted.
class MirrorRace : public QObject {
public:
    using Finished = std::function<void(std::optional<URLFetchWinner>)>;

    MirrorRace(const AppcastMirror::Options& options, const std::vector<QUrl>& candidates,
               QObject* parent)
        : QObject(parent)
        , options_(options) {
        for (const QUrl& candidate : candidates)
            children_.push_back(std::make_unique<Child>(Child{candidate, {}, nullptr, {}}));
    }

    ~MirrorRace() override {
        if (deadline_) deadline_->cancel();
        abortAll();
    }

    // `finished` is called once, as this race's last act; it may delete the race.
    void start(Finished finished) {
        finished_ = std::move(finished);
        running_ = children_.size();
        deadline_ = options_.clock.after(options_.raceDeadline, [this] { finish(std::nullopt); });
        for (const auto& child : children_)
            fetch(*child);
    }

private:
    struct Child {
        QUrl candidate;
        QByteArray feed;
        QPointer<QNetworkReply> reply;
        std::shared_ptr<AppTimer> deadline;
    };

    QNetworkRequest request(const QUrl& url, std::chrono::milliseconds timeout) const {
        return uncachedRequest(url, timeout, options_.tls);
    }

    void fetch(Child& child) {
        child.reply = options_.network.get(request(child.candidate, options_.feedTimeout));
        child.deadline = abortAtDeadline(options_.clock, options_.feedDeadline, child.reply);
        connect(child.reply, &QNetworkReply::readyRead, this, [this, &child] {
            if (child.reply->bytesAvailable() <= kMaxFeedBytes) return;
            release(child);
            lose();
        });
        connect(child.reply, &QNetworkReply::finished, this, [this, &child] {
            const bool fetched = succeeded(*child.reply);
            if (fetched) child.feed = child.reply->readAll();
            release(child);
            if (!fetched) return lose();
            std::optional<AppcastItem> item;
            try {
                item = AppcastParser::parse(child.feed);
            } catch (const AppcastParseError&) {
                return lose();
            }
            probe(child, item->enclosureURL);
        });
    }

    void probe(Child& child, const QUrl& enclosure) {
        QNetworkRequest probe = request(enclosure, options_.probeTimeout);
        probe.setRawHeader("Range", "bytes=0-" + QByteArray::number(kProbeBytes - 1));
        child.reply = options_.network.get(probe);
        child.deadline = abortAtDeadline(options_.clock, options_.probeDeadline, child.reply);
        // A server that ignores the range must not make the probe download the whole file.
        connect(child.reply, &QNetworkReply::readyRead, this, [this, &child] {
            if (child.reply->bytesAvailable() >= kProbeBytes && succeeded(*child.reply)) win(child);
        });
        connect(child.reply, &QNetworkReply::finished, this, [this, &child] {
            const bool passed = succeeded(*child.reply) && child.reply->bytesAvailable() > 0;
            release(child);
            passed ? win(child) : lose();
        });
    }

    void win(Child& winner) {
        URLFetchWinner result{winner.candidate, winner.feed};
        finish(std::move(result));
    }

    void lose() {
        if (--running_ == 0) finish(std::nullopt);
    }

    void finish(std::optional<URLFetchWinner> winner) {
        deadline_->cancel();
        abortAll();
        const Finished finished = std::move(finished_);
        finished(std::move(winner));
    }

    // Its signals no longer reach this race; an answer still on its way is cut off.
    void release(Child& child) {
        if (child.deadline) child.deadline->cancel();
        child.deadline.reset();
        if (!child.reply) return;
        QNetworkReply* reply = child.reply;
        child.reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }

    void abortAll() {
        for (const auto& child : children_)
            release(*child);
    }

    const AppcastMirror::Options& options_;
    std::vector<std::unique_ptr<Child>> children_;
    size_t running_ = 0;
    Finished finished_;
    std::shared_ptr<AppTimer> deadline_;
};

} // namespace

std::optional<QUrl> persistedWinner(const QSettings& defaults) {
    const QString text = defaults.value(kAppcastWinnerKey).toString();
    if (text.isEmpty()) return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    return url;
}

void persistWinner(QSettings& defaults, const std::optional<QUrl>& url) {
    if (url)
        defaults.setValue(kAppcastWinnerKey, url->toString(QUrl::FullyEncoded));
    else
        defaults.remove(kAppcastWinnerKey);
    defaults.sync();
}

AppcastFeedStack& AppcastFeedStack::shared() {
    static AppcastFeedStack stack;
    return stack;
}

void AppcastFeedStack::createIfNeeded(const std::vector<QUrl>& candidates,
                                      const std::optional<QUrl>& persisted) {
    if (isCreated() || candidates.empty()) return;
    urls_.push_back(candidates.front());
    if (!persisted) return;
    const std::string saved = absoluteString(*persisted);
    for (const QUrl& candidate : candidates) {
        if (absoluteString(candidate) == saved) {
            urls_.push_back(*persisted);
            return;
        }
    }
}

void AppcastFeedStack::push(const QUrl& url) {
    urls_.push_back(url);
}

std::optional<QUrl> webSiteBase(const QUrl& feedURL) {
    if (feedURL.scheme().compare("https", Qt::CaseInsensitive) != 0) return std::nullopt;
    QStringList components = feedURL.path(QUrl::FullyEncoded).split('/', Qt::SkipEmptyParts);
    if (!components.isEmpty() && hasExtension(components.back())) components.removeLast();
    if (!components.isEmpty() && QUrl::fromPercentEncoding(components.back().toUtf8())
                                         .compare("download", Qt::CaseInsensitive) == 0)
        components.removeLast();
    if (feedURL.host().isEmpty()) return std::nullopt;
    QUrl base = feedURL;
    base.setPath("/" + components.join('/'), QUrl::TolerantMode);
    return base;
}

AppcastMirror::AppcastMirror(Options options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options)) {}

// The races are children of this object: deleting them aborts their requests.
AppcastMirror::~AppcastMirror() = default;

void AppcastMirror::race(std::vector<QUrl> candidates, Completion done) {
    if (candidates.empty()) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    auto* race = new MirrorRace(options_, candidates, this);
    race->start([this, race, candidates = std::move(candidates),
                 done = std::move(done)](std::optional<URLFetchWinner> winner) {
        race->deleteLater();
        if (winner)
            recordWinner(candidates, *winner);
        else
            log::appLog.info("Appcast enclosure race produced no current winner");
        done(std::move(winner));
    });
}

void AppcastMirror::recordWinner(const std::vector<QUrl>& candidates,
                                 const URLFetchWinner& winner) {
    AppcastFeedStack& stack = options_.stack;
    stack.createIfNeeded(candidates, persistedWinner(options_.defaults));
    stack.push(winner.url);
    persistWinner(options_.defaults, stack.top());
    log::appLog.info("Appcast current winner %s saved top %s", absoluteString(winner.url).c_str(),
                     absoluteString(stack.top()).c_str());
}

QUrl AppcastMirror::stackTop(const std::vector<QUrl>& candidates) {
    AppcastFeedStack& stack = options_.stack;
    const std::optional<QUrl> saved = persistedWinner(options_.defaults);
    stack.createIfNeeded(candidates, saved);
    if (!stack.isCreated()) return {};
    log::appLog.info("Appcast stack top %s default=%s saved=%s",
                     absoluteString(stack.top()).c_str(),
                     candidates.empty() ? "none" : absoluteString(candidates.front()).c_str(),
                     saved ? absoluteString(*saved).c_str() : "none");
    return stack.top();
}

} // namespace brimo::app::updates
