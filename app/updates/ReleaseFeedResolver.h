#pragma once

#include "app/MainBundle.h"
#include "app/updates/UncachedRequest.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// Which update feeds the current release offers. The release record lives in the public database
// of the app's CloudKit container; it is read with a records query of CloudKit Web Services.
namespace brimo::app::updates {

// Information-dictionary keys of the deployment; tests point them at local servers.
inline constexpr const char* kCloudKitBaseURLKey = "TarvelCloudKitBaseURL";
inline constexpr const char* kCloudKitAPITokenKey = "TarvelCloudKitAPIToken";
inline constexpr const char* kCloudKitEnvironmentKey = "TarvelCloudKitEnvironment";
inline constexpr const char* kDefaultFeedURLKey = "TarvelDefaultFeedURL";

inline constexpr const char* kBuiltInDefaultFeedURL =
    "https://brimo.example/Brimo/download/appcast.xml";

struct CloudKitConfiguration {
    QUrl baseURL{"https://api.apple-cloudkit.com"};
    QString environment = "production";
    // The container's API token; without one no query is sent.
    QString apiToken;

    // Entries missing from the bundle's information dictionary keep the defaults above.
    static CloudKitConfiguration fromBundle(const MainBundle& bundle);
};

// The feed used when the release record cannot be read: the bundle's entry when it is an https
// URL, otherwise the built-in one.
QUrl defaultFeedURL(const MainBundle& bundle);

// The release record does not name a usable feed; what() is the description the log shows.
class FeedResolveError : public std::runtime_error {
public:
    enum class Code { invalidRecord, noRelease };

    // "Invalid Mac release record: <reason>"
    static FeedResolveError invalidRecord(const std::string& reason);
    // "No Mac release is available."
    static FeedResolveError noRelease();

    Code code() const { return code_; }

private:
    FeedResolveError(Code code, const std::string& description)
        : std::runtime_error(description)
        , code_(code) {}

    Code code_;
};

// The records query itself failed: the transport, the HTTP status or the service's error code.
class CloudKitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The https feeds a release record lists under downloadURL, in order. Throws FeedResolveError:
// noRelease without a record, invalidRecord when downloadURL is not a list of strings or holds
// no https URL.
std::vector<QUrl> releaseCandidates(const std::optional<QJsonObject>& record);

// The candidate feeds, or why there are none.
struct ReleaseFeeds {
    std::vector<QUrl> candidates;
    // The failure's description; set exactly when there are no candidates.
    std::optional<std::string> error;
};

// Reads the release record on Qt's main thread with the network manager it is given, which must
// outlive it.
class ReleaseFeedResolver : public QObject {
public:
    struct Options {
        QNetworkAccessManager& network;
        CloudKitConfiguration cloudKit;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The longest wait for the next bytes of the answer.
        std::chrono::milliseconds timeout = std::chrono::seconds(30);
        // The longest the whole query may take, however steadily bytes come: twice the silence.
        std::chrono::milliseconds deadline = std::chrono::seconds(60);
        AppClock& clock = updaterClock();
    };
    using Completion = std::function<void(ReleaseFeeds)>;

    explicit ReleaseFeedResolver(Options options, QObject* parent = nullptr);
    // Aborts the queries still running; their completions never run.
    ~ReleaseFeedResolver() override;

    // `done` runs once on the main thread, never from inside this call.
    void resolve(Completion done);

private:
    // {base}/database/1/{container}/{environment}/public/records/query?ckAPIToken={token}
    QUrl queryURL() const;
    // The first record of the answer, or none. Throws CloudKitError.
    static std::optional<QJsonObject> firstRecord(QNetworkReply& reply);

    Options options_;
    std::vector<QPointer<QNetworkReply>> replies_;
};

} // namespace brimo::app::updates
