#include "app/updates/AppUpdater.h"
#include "app/AppClock.h"
#include "app/updates/CheckForUpdatesAction.h"
#include "app/updates/ReleaseFeedResolver.h"
#include "app/updates/UpdaterDelegate.h"
#include "shared/Log.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/FakeUpdaterController.h"
#include "tests/app/HttpsTestServer.h"

#include <QAction>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

namespace brimo::app::updates {
namespace {

using namespace std::chrono_literals;
using test::FakeUpdaterController;
using test::HttpsTestServer;
using test::processEventsUntil;
using Response = HttpsTestServer::Response;
using Lines = std::vector<std::string>;

constexpr const char* kQueryPath =
    "/database/1/iCloud.com.ozm.tarvel/production/public/records/query?ckAPIToken=test-token";
constexpr const char* kDefaultFeed = "https://downloads.tarvel.example/Brimo/download/appcast.xml";

std::string text(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

// A real network manager that also keeps what each POST sent.
class RecordingNetwork : public QNetworkAccessManager {
public:
    struct Post {
        QUrl url;
        QByteArray contentType;
        QByteArray body;
    };
    std::vector<Post> posts;

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* data) override {
        if (operation == PostOperation)
            posts.push_back({request.url(),
                             request.header(QNetworkRequest::ContentTypeHeader).toByteArray(),
                             data ? data->peek(data->size()) : QByteArray()});
        return QNetworkAccessManager::createRequest(operation, request, data);
    }
};

QJsonObject field(const QJsonValue& value, const char* type) {
    return {{"value", value}, {"type", type}};
}

// A release record as CloudKit Web Services returns it, with the given downloadURL field.
QJsonObject releaseRecord(std::optional<QJsonObject> downloadURL) {
    QJsonObject fields{{"channel", field("stable", "STRING")},
                       {"isActive", field(1, "INT64")},
                       {"build", field(57, "INT64")}};
    if (downloadURL) fields.insert("downloadURL", *downloadURL);
    return {{"recordName", "8E1C2A6B-mac-release"},
            {"recordType", "MacReleaseInfo"},
            {"fields", fields},
            {"recordChangeTag", "lq3h1y0z"}};
}

QJsonObject urlList(const QStringList& urls) {
    return field(QJsonArray::fromStringList(urls), "STRING_LIST");
}

Response records(const QJsonArray& records) {
    return {200, QJsonDocument(QJsonObject{{"records", records}}).toJson()};
}

Response releaseOffering(const std::vector<QUrl>& feeds) {
    QStringList urls;
    for (const QUrl& feed : feeds)
        urls.append(feed.toString());
    return records({releaseRecord(urlList(urls))});
}

// A feed whose first item offers `enclosure` as its download.
QByteArray feedFor(const QByteArray& enclosure) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Brimo</title>
<item><title>Version 2.1</title><sparkle:shortVersionString>2.1</sparkle:shortVersionString>
<sparkle:version>210</sparkle:version>
<enclosure url=")" +
           enclosure + R"(" length="4096" type="application/octet-stream"/></item>
</channel></rss>)";
}

class AppUpdaterTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cloudKit.isListening());
        ASSERT_TRUE(mirrors.isListening());
    }

    // A Brimo.app whose information dictionary holds `entries`.
    MainBundle bundleWith(const std::vector<std::pair<std::string, std::string>>& entries) {
        const auto bundle = std::filesystem::path(home.path().toStdString()) / "Brimo.app";
        test::writeInfoPlist(bundle / "Contents" / "Info.plist", entries);
        return MainBundle(bundle);
    }
    MainBundle deployedBundle() {
        return bundleWith({{kCloudKitBaseURLKey, cloudKit.url("").toString().toStdString()},
                           {kCloudKitAPITokenKey, "test-token"},
                           {kDefaultFeedURLKey, kDefaultFeed}});
    }

    std::unique_ptr<AppUpdater> makeUpdater(std::optional<MainBundle> bundle = std::nullopt,
                                            bool canCheck = false) {
        return std::make_unique<AppUpdater>(AppUpdater::Options{
            .makeController =
                [this, canCheck](UpdaterDelegateProtocol& delegate) {
                    auto fake = std::make_unique<FakeUpdaterController>(delegate, canCheck);
                    controller = fake.get();
                    return fake;
                },
            .network = network,
            .defaults = defaults,
            .bundle = bundle ? *bundle : deployedBundle(),
            .stack = stack,
            .tls = tls(),
            .output = output,
            .clock = clock,
        });
    }
    QSslConfiguration tls() const {
        QSslConfiguration configuration = cloudKit.clientConfiguration();
        configuration.addCaCertificates(mirrors.clientConfiguration().caCertificates());
        return configuration;
    }

    static void start(AppUpdater& updater) {
        bool done = false;
        updater.start([&done] { done = true; });
        EXPECT_FALSE(done);
        EXPECT_TRUE(processEventsUntil([&] { return done; }));
    }

    // A mirror under /<name>/Brimo/download/ whose feed offers a download that probes well.
    QUrl addMirror(const QByteArray& name, int feedStatus = 200, bool held = false) {
        const QByteArray folder = "/" + name + "/Brimo/download/";
        mirrors.handle(
            folder + "appcast.xml",
            {feedStatus, feedFor(mirrors.url(folder + "Brimo.dmg").toEncoded()), 0ms, held});
        mirrors.handle(folder + "Brimo.dmg", {200, "DMG"});
        return mirrors.url(folder + "appcast.xml");
    }

    HttpsTestServer cloudKit;
    HttpsTestServer mirrors;
    QTemporaryDir home;
    QSettings defaults{home.filePath("Brimo.conf"), QSettings::IniFormat};
    AppcastFeedStack stack;
    RecordingNetwork network;
    std::ostringstream output;
    FakeUpdaterController* controller = nullptr;
    log::ScopedMemorySink log;
    FakeAppClock clock;
};

TEST_F(AppUpdaterTest, ReleaseFeedQueryAsksForTheNewestActiveStableRecord) {
    const QByteArray path = "/ck/database/1/iCloud.com.ozm.tarvel/development/public/records/"
                            "query?ckAPIToken=a%2Bb%2Fc";
    cloudKit.handle(path, records({releaseRecord(urlList({
                              "http://plain.example/Brimo/download/appcast.xml",
                              "https://mirror-a.example/Brimo/download/appcast.xml",
                              "https://mirror b.example/appcast.xml",
                              "HTTPS://Mirror-B.example/Brimo/download/appcast.xml",
                          }))}));
    ReleaseFeedResolver resolver({.network = network,
                                  .cloudKit = {.baseURL = cloudKit.url("/ck/"),
                                               .environment = "development",
                                               .apiToken = "a+b/c"},
                                  .tls = cloudKit.clientConfiguration()});

    std::optional<ReleaseFeeds> feeds;
    resolver.resolve([&](ReleaseFeeds result) { feeds = std::move(result); });
    ASSERT_TRUE(processEventsUntil([&] { return feeds.has_value(); }));

    EXPECT_EQ(feeds->error, std::nullopt);
    EXPECT_EQ(feeds->candidates,
              (std::vector<QUrl>{QUrl("https://mirror-a.example/Brimo/download/appcast.xml"),
                                 QUrl("https://mirror-b.example/Brimo/download/appcast.xml")}));
    ASSERT_EQ(network.posts.size(), 1u);
    EXPECT_EQ(network.posts[0].url, cloudKit.url(path));
    EXPECT_EQ(network.posts[0].contentType, "application/json");
    const QJsonDocument expected = QJsonDocument::fromJson(R"({
        "zoneID": {"zoneName": "_defaultZone"},
        "resultsLimit": 1,
        "query": {
            "recordType": "MacReleaseInfo",
            "filterBy": [
                {"comparator": "EQUALS", "fieldName": "channel",
                 "fieldValue": {"value": "stable", "type": "STRING"}},
                {"comparator": "EQUALS", "fieldName": "isActive",
                 "fieldValue": {"value": 1, "type": "INT64"}}
            ],
            "sortBy": [{"fieldName": "build", "ascending": false}]
        }
    })");
    ASSERT_TRUE(expected.isObject());
    EXPECT_EQ(QJsonDocument::fromJson(network.posts[0].body), expected)
        << network.posts[0].body.toStdString();
    const auto request = cloudKit.request(path);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "POST");
}

TEST_F(AppUpdaterTest, UnusableRecordsAndFailedQueriesFallBackToTheDefaultFeed) {
    const std::vector<std::pair<Response, std::string>> cases = {
        {releaseOffering({QUrl("http://mirror-a.example/Brimo/download/appcast.xml"),
                          QUrl("http://mirror-b.example/Brimo/download/appcast.xml")}),
         "Invalid Mac release record: no valid https downloadURL"},
        {records({releaseRecord(urlList({}))}),
         "Invalid Mac release record: no valid https downloadURL"},
        {records({releaseRecord(
             field("https://mirror-a.example/Brimo/download/appcast.xml", "STRING"))}),
         "Invalid Mac release record: missing downloadURL"},
        {records({releaseRecord(std::nullopt)}), "Invalid Mac release record: missing downloadURL"},
        {records({}), "No Mac release is available."},
        {{401, R"({"uuid":"7c1e","serverErrorCode":"AUTHENTICATION_FAILED",)"
               R"("reason":"no auth method found"})"},
         "CloudKit request failed with HTTP status 401: AUTHENTICATION_FAILED: no auth method "
         "found"},
        {{503, "Service Unavailable"}, "CloudKit request failed with HTTP status 503"},
        {records({QJsonObject{{"recordName", "8E1C2A6B-mac-release"},
                              {"serverErrorCode", "ACCESS_DENIED"},
                              {"reason", "not readable"}}}),
         "CloudKit could not read the record: ACCESS_DENIED: not readable"},
        {{200, "<html>maintenance</html>"}, "CloudKit answered without a list of records"},
    };
    for (const auto& [answer, description] : cases) {
        SCOPED_TRACE(description);
        cloudKit.handle(kQueryPath, answer);
        log->clear();
        const auto updater = makeUpdater();

        start(*updater);

        EXPECT_EQ(log->messages(),
                  Lines{"CloudKit feed resolve failed, using default: " + description});
        EXPECT_EQ(controller->feedAtStart, kDefaultFeed);
        EXPECT_EQ(controller->starts, 1);
        EXPECT_EQ(controller->backgroundChecks, 1);
        EXPECT_TRUE(updater->isStarted());
        EXPECT_EQ(updater->websiteURL(), QUrl("https://downloads.tarvel.example/Brimo"));
    }
    EXPECT_EQ(cloudKit.requests().size(), cases.size());
    // No race ran.
    EXPECT_TRUE(mirrors.requests().empty());
}

TEST_F(AppUpdaterTest, QueriesThatCannotBeSentFallBackToTheDefaultFeed) {
    // No API token: nothing is sent.
    const auto withoutToken =
        makeUpdater(bundleWith({{kCloudKitBaseURLKey, cloudKit.url("").toString().toStdString()},
                                {kDefaultFeedURLKey, kDefaultFeed}}));
    start(*withoutToken);
    EXPECT_EQ(log->messages(), Lines{"CloudKit feed resolve failed, using default: CloudKit API "
                                     "token is not configured"});
    EXPECT_EQ(controller->feedAtStart, kDefaultFeed);
    EXPECT_TRUE(network.posts.empty());

    // Nobody listens on the service's port.
    log->clear();
    const auto unreachable = makeUpdater(bundleWith({{kCloudKitBaseURLKey, "https://127.0.0.1:1"},
                                                     {kCloudKitAPITokenKey, "test-token"},
                                                     {kDefaultFeedURLKey, kDefaultFeed}}));
    start(*unreachable);
    ASSERT_EQ(log->messages().size(), 1u);
    EXPECT_EQ(log->messages()[0].rfind(
                  "CloudKit feed resolve failed, using default: CloudKit request failed: ", 0),
              0u)
        << log->messages()[0];
    EXPECT_EQ(controller->feedAtStart, kDefaultFeed);
    EXPECT_TRUE(unreachable->isStarted());
}

TEST_F(AppUpdaterTest, ReleaseMirrorsAreRacedAndTheWinnerBecomesTheFeed) {
    const QUrl slow = addMirror("slow", 200, true);
    const QUrl fast = addMirror("fast");
    cloudKit.handle(
        kQueryPath,
        releaseOffering({QUrl("http://plain.example/Brimo/download/appcast.xml"), slow, fast}));
    const auto updater = makeUpdater();

    start(*updater);

    EXPECT_EQ(log->messages(),
              (Lines{"Sparkle feed candidate from CloudKit: " + text(slow),
                     "Sparkle feed candidate from CloudKit: " + text(fast),
                     "Appcast current winner " + text(fast) + " saved top " + text(fast),
                     "Sparkle feed: " + text(fast)}));
    EXPECT_EQ(controller->feedAtStart, fast.toString(QUrl::FullyEncoded));
    EXPECT_EQ(controller->starts, 1);
    EXPECT_EQ(controller->backgroundChecks, 1);
    EXPECT_EQ(updater->websiteURL(), mirrors.url("/fast/Brimo"));
    EXPECT_EQ(persistedWinner(defaults), fast);
    EXPECT_EQ(stack.urls(), (std::vector<QUrl>{slow, fast}));
}

TEST_F(AppUpdaterTest, WithoutAWinnerTheRememberedMirrorIsTheFeed) {
    const QUrl first = addMirror("first", 404);
    const QUrl second = addMirror("second", 503);
    persistWinner(defaults, second);
    cloudKit.handle(kQueryPath, releaseOffering({first, second}));
    const auto updater = makeUpdater();

    start(*updater);

    EXPECT_EQ(log->messages(), (Lines{"Sparkle feed candidate from CloudKit: " + text(first),
                                      "Sparkle feed candidate from CloudKit: " + text(second),
                                      "Appcast enclosure race produced no current winner",
                                      "Appcast stack top " + text(second) +
                                          " default=" + text(first) + " saved=" + text(second),
                                      "Sparkle feed: " + text(second)}));
    EXPECT_EQ(controller->feedAtStart, second.toString(QUrl::FullyEncoded));
    EXPECT_EQ(updater->websiteURL(), mirrors.url("/second/Brimo"));
}

// Servers that drip bytes never fall silent: only the deadlines, on the fake clock, let the
// updater start.
TEST_F(AppUpdaterTest, AStartThatDripsEndsAtItsDeadline) {
    const Response drip{200, "{", 0ms, false, true, 20ms};
    const QUrl dripping = mirrors.url("/drip/Brimo/download/appcast.xml");
    mirrors.handle("/drip/Brimo/download/appcast.xml", drip);
    const struct {
        const char* label;
        Response query;
        HttpsTestServer& server;
        std::chrono::milliseconds deadline;
        std::string feed;
    } cases[] = {
        {"the release query", drip, cloudKit, 60s, kDefaultFeed},
        {"the mirror's feed", releaseOffering({dripping}), mirrors, 120s, text(dripping)},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        cloudKit.handle(kQueryPath, row.query);
        const size_t before = row.server.requests().size();
        const auto updater = makeUpdater();
        bool done = false;
        updater->start([&done] { done = true; });
        ASSERT_TRUE(processEventsUntil([&] {
            return row.server.requests().size() > before &&
                   row.server.requests().back().streamed > 0;
        }));
        clock.advance(row.deadline - 1ms);
        EXPECT_FALSE(done);
        clock.advance(1ms);
        ASSERT_TRUE(processEventsUntil([&] { return done; }));
        EXPECT_EQ(controller->feedAtStart, QString::fromStdString(row.feed));
        EXPECT_TRUE(updater->isStarted());
    }
}

TEST_F(AppUpdaterTest, StartingTwiceStartsTheUpdaterOnceAndOnlyChangesTheFeed) {
    cloudKit.handle(kQueryPath, records({}));
    const auto updater = makeUpdater();
    QSignalSpy started(updater.get(), &AppUpdater::isStartedChanged);
    QSignalSpy website(updater.get(), &AppUpdater::websiteURLChanged);
    start(*updater);
    ASSERT_EQ(controller->feedAtStart, kDefaultFeed);

    const QUrl mirror = addMirror("mirror");
    cloudKit.handle(kQueryPath, releaseOffering({mirror}));
    start(*updater);

    EXPECT_EQ(controller->starts, 1);
    EXPECT_EQ(controller->backgroundChecks, 1);
    EXPECT_EQ(started.count(), 1);
    EXPECT_EQ(controller->delegate.feedURLString(), mirror.toString(QUrl::FullyEncoded));
    // The default feed's site was there from the start; only the mirror's is a change.
    ASSERT_EQ(website.count(), 1);
    EXPECT_EQ(website.at(0).at(0).toUrl(), mirrors.url("/mirror/Brimo"));
    EXPECT_EQ(updater->websiteURL(), mirrors.url("/mirror/Brimo"));
}

TEST_F(AppUpdaterTest, FailedStartIsLoggedAndLeavesTheCheckInert) {
    cloudKit.handle(kQueryPath, records({}));
    const auto updater = makeUpdater();
    controller->startFailure = "The update feed is not trusted.";

    start(*updater);

    EXPECT_EQ(log->messages(),
              (Lines{"CloudKit feed resolve failed, using default: No Mac release is available.",
                     "Sparkle updater failed to start: The update feed is not trusted."}));
    EXPECT_FALSE(updater->isStarted());
    EXPECT_EQ(controller->backgroundChecks, 0);
    updater->checkForUpdates();
    EXPECT_EQ(controller->userChecks, 0);

    // A later start tries again.
    controller->startFailure.reset();
    start(*updater);
    EXPECT_TRUE(updater->isStarted());
    EXPECT_EQ(controller->starts, 2);
    updater->checkForUpdates();
    EXPECT_EQ(controller->userChecks, 1);
}

TEST_F(AppUpdaterTest, CreationContactsNoServerAndFollowsTheController) {
    const auto updater = makeUpdater(std::nullopt, true);
    QSignalSpy canCheck(updater.get(), &AppUpdater::canCheckForUpdatesChanged);

    EXPECT_TRUE(network.posts.empty());
    EXPECT_FALSE(updater->isStarted());
    EXPECT_EQ(controller->starts, 0);
    EXPECT_EQ(controller->delegate.feedURLString(), std::nullopt);
    EXPECT_EQ(updater->websiteURL(), QUrl("https://downloads.tarvel.example/Brimo"));
    EXPECT_TRUE(updater->canCheckForUpdates());

    controller->setCanCheck(false);
    EXPECT_FALSE(updater->canCheckForUpdates());
    controller->setCanCheck(false);
    controller->setCanCheck(true);
    EXPECT_TRUE(updater->canCheckForUpdates());
    ASSERT_EQ(canCheck.count(), 2);
    EXPECT_EQ(canCheck.at(0).at(0).toBool(), false);
    EXPECT_EQ(canCheck.at(1).at(0).toBool(), true);

    // Not started: the user's check does nothing.
    updater->checkForUpdates();
    EXPECT_EQ(controller->userChecks, 0);
    EXPECT_TRUE(cloudKit.requests().empty());
}

TEST_F(AppUpdaterTest, DestroyedWhileResolvingItNeverCompletes) {
    cloudKit.handle(kQueryPath, {200, "{}", 0ms, true});
    auto updater = makeUpdater();
    bool done = false;
    updater->start([&done] { done = true; });
    ASSERT_TRUE(processEventsUntil([&] { return cloudKit.request(kQueryPath).has_value(); }));

    updater.reset();

    EXPECT_TRUE(
        processEventsUntil([&] { return cloudKit.request(kQueryPath)->closedBeforeAnswer; }));
    EXPECT_FALSE(done);
    EXPECT_TRUE(log->messages().empty());
}

TEST_F(AppUpdaterTest, CheckForUpdatesActionFollowsTheUpdater) {
    cloudKit.handle(kQueryPath, records({}));
    const auto updater = makeUpdater();
    QObject owner;
    QAction* action = makeCheckForUpdatesAction(*updater, &owner);

    EXPECT_EQ(action->text(), QString::fromUtf8("Check for Updates…"));
    EXPECT_EQ(action->parent(), &owner);
    EXPECT_FALSE(action->isEnabled());
    controller->setCanCheck(true);
    EXPECT_TRUE(action->isEnabled());

    start(*updater);
    action->trigger();
    EXPECT_EQ(controller->userChecks, 1);

    controller->setCanCheck(false);
    EXPECT_FALSE(action->isEnabled());
}

TEST(ReleaseFeedConfigurationTest, DeploymentValuesComeFromTheInfoDictionary) {
    QTemporaryDir home;
    const auto bundle = std::filesystem::path(home.path().toStdString()) / "Brimo.app";
    test::writeInfoPlist(bundle / "Contents" / "Info.plist", {{"CFBundleVersion", "57"}});

    const auto bare = CloudKitConfiguration::fromBundle(MainBundle(bundle));
    EXPECT_EQ(bare.baseURL, QUrl("https://api.apple-cloudkit.com"));
    EXPECT_EQ(bare.environment, "production");
    EXPECT_TRUE(bare.apiToken.isEmpty());
    EXPECT_EQ(defaultFeedURL(MainBundle(bundle)),
              QUrl("https://brimo.example/Brimo/download/appcast.xml"));

    // Only an https feed with a host replaces the built-in one.
    for (const char* configured : {"http://downloads.tarvel.example/Brimo/download/appcast.xml",
                                   "https:///Brimo/download/appcast.xml", "not a url"}) {
        test::writeInfoPlist(bundle / "Contents" / "Info.plist",
                             {{kDefaultFeedURLKey, configured}});
        EXPECT_EQ(defaultFeedURL(MainBundle(bundle)),
                  QUrl("https://brimo.example/Brimo/download/appcast.xml"))
            << configured;
    }

    test::writeInfoPlist(bundle / "Contents" / "Info.plist",
                         {{kCloudKitBaseURLKey, "https://cloudkit.tarvel.example"},
                          {kCloudKitEnvironmentKey, "development"},
                          {kCloudKitAPITokenKey, "0123abcd"},
                          {kDefaultFeedURLKey, kDefaultFeed}});
    const auto deployed = CloudKitConfiguration::fromBundle(MainBundle(bundle));
    EXPECT_EQ(deployed.baseURL, QUrl("https://cloudkit.tarvel.example"));
    EXPECT_EQ(deployed.environment, "development");
    EXPECT_EQ(deployed.apiToken, "0123abcd");
    EXPECT_EQ(defaultFeedURL(MainBundle(bundle)), QUrl(kDefaultFeed));
}

TEST(UpdaterDelegateTest, EveryHookWritesItsLine) {
    std::ostringstream output;
    UpdaterDelegate delegate(output);
    const UpdateItem item{"2.1", "210", QUrl("https://mirror-a.example/Brimo-2.1.tar.gz"), 4096,
                          ""};
    const UpdateError error{"Ozm.Tarvel.Updater", 4, "The archive's signature is not valid."};

    EXPECT_EQ(delegate.feedURLString(), std::nullopt);
    delegate.feedURL = QUrl("https://mirror-a.example/Brimo/download/appcast.xml");
    EXPECT_EQ(delegate.feedURLString(), "https://mirror-a.example/Brimo/download/appcast.xml");

    delegate.didFindValidUpdate(item);
    delegate.didNotFindUpdate({"Ozm.Tarvel.Updater", 1, "Brimo 2.0 is the newest version."});
    delegate.willDownloadUpdate(item, QNetworkRequest(item.url));
    delegate.didDownloadUpdate(item);
    delegate.failedToDownloadUpdate(item, error);
    delegate.willExtractUpdate(item);
    delegate.didExtractUpdate(item);
    delegate.willInstallUpdate(item);
    delegate.didAbortWithError(error);
    delegate.didFinishUpdateCycle(UpdateCheck::updates, error);
    delegate.didFinishUpdateCycle(UpdateCheck::updates, std::nullopt);
    delegate.didFinishUpdateCycle(UpdateCheck::updatesInBackground, std::nullopt);

    EXPECT_EQ(test::lines(output.str()),
              (Lines{
                  "[Sparkle] found update: 2.1 (build 210)",
                  "[Sparkle] no update: Brimo 2.0 is the newest version.",
                  "[Sparkle] will download: 2.1 from https://mirror-a.example/Brimo-2.1.tar.gz",
                  "[Sparkle] downloaded: 2.1",
                  "[Sparkle] download failed for 2.1: The archive's signature is not valid.",
                  "[Sparkle] will extract: 2.1",
                  "[Sparkle] extracted: 2.1",
                  "[Sparkle] will install: 2.1",
                  "[Sparkle] aborted: domain=Ozm.Tarvel.Updater code=4 The archive's signature "
                  "is not valid.",
                  "[Sparkle] cycle finished: The archive's signature is not valid.",
                  "[Sparkle] cycle finished OK (check=updates)",
                  "[Sparkle] cycle finished OK (check=updatesInBackground)",
              }));
    EXPECT_EQ(output.str().back(), '\n');
}

} // namespace
} // namespace brimo::app::updates
