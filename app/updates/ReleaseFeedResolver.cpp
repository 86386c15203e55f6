#include "app/updates/ReleaseFeedResolver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace brimo::app::updates {

namespace {

constexpr const char* kContainer = "iCloud.com.ozm.tarvel";

std::optional<QString> infoString(const MainBundle& bundle, const char* key) {
    const auto value = bundle.infoString(key);
    if (!value || value->empty()) return std::nullopt;
    return QString::fromStdString(*value);
}

bool isHTTPS(const QUrl& url) {
    return url.isValid() && url.scheme().compare("https", Qt::CaseInsensitive) == 0;
}

QJsonObject equals(const char* field, const QJsonValue& value, const char* type) {
    return {{"comparator", "EQUALS"},
            {"fieldName", field},
            {"fieldValue", QJsonObject{{"value", value}, {"type", type}}}};
}

// A field's value when it is a list of strings (a STRING_LIST).
std::optional<QStringList> stringList(const QJsonObject& record, const char* field) {
    const QJsonObject entry = record.value("fields").toObject().value(field).toObject();
    const QJsonValue type = entry.value("type");
    const QJsonValue value = entry.value("value");
    if (!value.isArray() || (!type.isUndefined() && type.toString() != "STRING_LIST"))
        return std::nullopt;
    QStringList strings;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString()) return std::nullopt;
        strings.append(element.toString());
    }
    return strings;
}

// "CLIENT_ERROR: reason" from the service's error dictionary; empty when it names no error.
std::string serviceError(const QJsonObject& error) {
    const QString code = error.value("serverErrorCode").toString();
    if (code.isEmpty()) return {};
    const QString reason = error.value("reason").toString();
    return (reason.isEmpty() ? code : code + ": " + reason).toStdString();
}

// The body of the records query for the newest active release of the stable channel.
QJsonObject releaseQuery() {
    const QJsonObject query{
        {"recordType", "MacReleaseInfo"},
        {"filterBy",
         QJsonArray{equals("channel", "stable", "STRING"), equals("isActive", 1, "INT64")}},
        {"sortBy", QJsonArray{QJsonObject{{"fieldName", "build"}, {"ascending", false}}}},
    };
    return {{"zoneID", QJsonObject{{"zoneName", "_defaultZone"}}},
            {"resultsLimit", 1},
            {"query", query}};
}

} // namespace

CloudKitConfiguration CloudKitConfiguration::fromBundle(const MainBundle& bundle) {
    CloudKitConfiguration configuration;
    if (const auto base = infoString(bundle, kCloudKitBaseURLKey)) configuration.baseURL = *base;
    if (const auto environment = infoString(bundle, kCloudKitEnvironmentKey))
        configuration.environment = *environment;
    if (const auto token = infoString(bundle, kCloudKitAPITokenKey))
        configuration.apiToken = *token;
    return configuration;
}

QUrl defaultFeedURL(const MainBundle& bundle) {
    if (const auto configured = infoString(bundle, kDefaultFeedURLKey)) {
        const QUrl url(*configured, QUrl::StrictMode);
        if (isHTTPS(url) && !url.host().isEmpty()) return url;
    }
    return QUrl(kBuiltInDefaultFeedURL);
}

FeedResolveError FeedResolveError::invalidRecord(const std::string& reason) {
    return FeedResolveError(Code::invalidRecord, "Invalid Mac release record: " + reason);
}

FeedResolveError FeedResolveError::noRelease() {
    return FeedResolveError(Code::noRelease, "No Mac release is available.");
}

std::vector<QUrl> releaseCandidates(const std::optional<QJsonObject>& record) {
    if (!record) throw FeedResolveError::noRelease();
    const auto entries = stringList(*record, "downloadURL");
    if (!entries) throw FeedResolveError::invalidRecord("missing downloadURL");
    std::vector<QUrl> candidates;
    for (const QString& entry : *entries) {
        QUrl url(entry, QUrl::StrictMode);
        if (isHTTPS(url)) candidates.push_back(std::move(url));
    }
    if (candidates.empty()) throw FeedResolveError::invalidRecord("no valid https downloadURL");
    return candidates;
}

ReleaseFeedResolver::ReleaseFeedResolver(Options options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options)) {}

ReleaseFeedResolver::~ReleaseFeedResolver() {
    for (const QPointer<QNetworkReply>& reply : replies_) {
        if (!reply) continue;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

QUrl ReleaseFeedResolver::queryURL() const {
    QUrl url = options_.cloudKit.baseURL;
    QString path = url.path();
    while (path.endsWith('/'))
        path.chop(1);
    url.setPath(path + "/database/1/" + kContainer + "/" + options_.cloudKit.environment +
                "/public/records/query");
    url.setQuery("ckAPIToken=" + QUrl::toPercentEncoding(options_.cloudKit.apiToken),
                 QUrl::StrictMode);
    return url;
}

void ReleaseFeedResolver::resolve(Completion done) {
    if (options_.cloudKit.apiToken.isEmpty()) {
        QTimer::singleShot(0, this, [done = std::move(done)] {
            done({{}, "CloudKit API token is not configured"});
        });
        return;
    }
    QNetworkRequest request = uncachedRequest(queryURL(), options_.timeout, options_.tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");

    QNetworkReply* reply = options_.network.post(
        request, QJsonDocument(releaseQuery()).toJson(QJsonDocument::Compact));
    replies_.emplace_back(reply);
    const auto deadline = abortAtDeadline(options_.clock, options_.deadline, reply);
    connect(reply, &QNetworkReply::finished, this, [this, reply, deadline, done = std::move(done)] {
        deadline->cancel();
        std::erase_if(replies_, [reply](const auto& live) { return !live || live == reply; });
        reply->deleteLater();
        ReleaseFeeds feeds;
        try {
            feeds.candidates = releaseCandidates(firstRecord(*reply));
        } catch (const FeedResolveError& error) {
            feeds.error = error.what();
        } catch (const CloudKitError& error) {
            feeds.error = error.what();
        }
        done(std::move(feeds));
    });
}

std::optional<QJsonObject> ReleaseFeedResolver::firstRecord(QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        throw CloudKitError("CloudKit request failed: " + reply.errorString().toStdString());
    const QJsonDocument answer = QJsonDocument::fromJson(reply.readAll());
    const int code = status.toInt();
    if (code < 200 || code > 299) {
        const std::string error = serviceError(answer.object());
        throw CloudKitError("CloudKit request failed with HTTP status " + std::to_string(code) +
                            (error.empty() ? "" : ": " + error));
    }
    if (reply.error() != QNetworkReply::NoError)
        throw CloudKitError("CloudKit request failed: " + reply.errorString().toStdString());
    const QJsonValue records = answer.object().value("records");
    if (!records.isArray()) throw CloudKitError("CloudKit answered without a list of records");
    if (records.toArray().isEmpty()) return std::nullopt;
    const QJsonObject record = records.toArray().first().toObject();
    if (const std::string error = serviceError(record); !error.empty())
        throw CloudKitError("CloudKit could not read the record: " + error);
    return record;
}

} // namespace brimo::app::updates
