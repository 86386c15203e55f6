#include "app/updates/AppcastMirror.h"
#include "app/AppClock.h"
#include "app/updates/AppcastParser.h"
#include "shared/Log.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/HttpsTestServer.h"

#include <QNetworkAccessManager>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace brimo::app::updates {
namespace {

using namespace std::chrono_literals;
using test::HttpsTestServer;
using test::processEventsUntil;
using Response = HttpsTestServer::Response;
using Lines = std::vector<std::string>;

std::string text(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

// A feed whose first item offers `enclosure` as its download.
QByteArray feedFor(const QByteArray& enclosure) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Brimo</title>
<item><title>Version 2.1</title><sparkle:shortVersionString>2.1</sparkle:shortVersionString>
<sparkle:version>210</sparkle:version><pubDate>Tue, 03 Dec 2024 10:00:00 +0000</pubDate>
<enclosure url=")" +
           enclosure + R"(" length="4096" type="application/octet-stream"/></item>
</channel></rss>)";
}

struct RaceOutcome {
    bool finished = false;
    std::optional<URLFetchWinner> winner;
};

class AppcastMirrorTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.isListening()); }

    // A mirror under /<name>/: its feed appcast.xml offers its download Brimo.dmg.
    QUrl addMirror(const QByteArray& name, Response feed, Response download) {
        handleMirror(name, std::move(feed), std::move(download));
        return server.url("/" + name + "/appcast.xml");
    }
    // The same with the feed's body pointing at the mirror's own download.
    QUrl addMirror(const QByteArray& name, Response download = {200, "DMG"}) {
        return addMirror(name, {200, feedOf(name)}, std::move(download));
    }
    void handleMirror(const QByteArray& name, Response feed, Response download) {
        server.handle("/" + name + "/appcast.xml", std::move(feed));
        server.handle("/" + name + "/Brimo.dmg", std::move(download));
    }
    QByteArray feedOf(const QByteArray& name) const {
        return feedFor(server.url("/" + name + "/Brimo.dmg").toEncoded());
    }
    bool seen(const QByteArray& path) const { return server.request(path).has_value(); }
    bool closedBeforeAnswer(const QByteArray& path) const {
        const auto request = server.request(path);
        return request && request->closedBeforeAnswer;
    }

    std::unique_ptr<AppcastMirror> makeMirror(std::chrono::milliseconds feedTimeout = 60s,
                                              std::chrono::milliseconds probeTimeout = 10s) {
        return std::make_unique<AppcastMirror>(AppcastMirror::Options{
            .network = network,
            .defaults = defaults,
            .stack = stack,
            .tls = server.clientConfiguration(),
            .feedTimeout = feedTimeout,
            .probeTimeout = probeTimeout,
        });
    }

    // Starts a race whose outcome the returned object receives.
    std::shared_ptr<RaceOutcome> startRace(AppcastMirror& mirror, std::vector<QUrl> candidates) {
        auto outcome = std::make_shared<RaceOutcome>();
        mirror.race(std::move(candidates), [outcome](std::optional<URLFetchWinner> winner) {
            EXPECT_FALSE(outcome->finished);
            outcome->finished = true;
            outcome->winner = std::move(winner);
        });
        EXPECT_FALSE(outcome->finished);
        return outcome;
    }
    std::optional<URLFetchWinner> race(AppcastMirror& mirror, std::vector<QUrl> candidates) {
        const auto outcome = startRace(mirror, std::move(candidates));
        EXPECT_TRUE(processEventsUntil([&] { return outcome->finished; }));
        return outcome->winner;
    }

    // What the next launch reads from the user defaults.
    std::optional<QUrl> persistedOnDisk() const {
        QSettings reread(defaults.fileName(), QSettings::IniFormat);
        return persistedWinner(reread);
    }

    HttpsTestServer server;
    QTemporaryDir home;
    QSettings defaults{home.filePath("Brimo.conf"), QSettings::IniFormat};
    AppcastFeedStack stack;
    QNetworkAccessManager network;
    log::ScopedMemorySink log;
};

TEST_F(AppcastMirrorTest, FastSecondMirrorBeatsSlowFirstAndTheLosersAreAborted) {
    const QUrl slowFeed = addMirror("slow", {200, feedOf("slow"), 0ms, true}, {200, "DMG"});
    // Answers once the stuck mirror is probing.
    const QUrl fast = addMirror("fast", {200, feedOf("fast"), 0ms, true}, {200, "DMG"});
    // Its feed answers at once, its download never: the race ends during its probe.
    const QUrl slowDownload = addMirror("stuck", {200, "DMG", 0ms, true});
    const auto mirror = makeMirror();

    const auto outcome = startRace(*mirror, {slowFeed, fast, slowDownload});
    ASSERT_TRUE(processEventsUntil([&] { return seen("/stuck/Brimo.dmg"); }));
    server.release("/fast/appcast.xml");
    ASSERT_TRUE(processEventsUntil([&] { return outcome->finished; }));

    ASSERT_TRUE(outcome->winner);
    EXPECT_EQ(outcome->winner->url, fast);
    EXPECT_EQ(outcome->winner->data, feedOf("fast"));
    // The server sees both losers' connections close before it answered them.
    EXPECT_TRUE(processEventsUntil([&] {
        return closedBeforeAnswer("/slow/appcast.xml") && closedBeforeAnswer("/stuck/Brimo.dmg");
    }));
    EXPECT_FALSE(seen("/slow/Brimo.dmg"));
}

TEST_F(AppcastMirrorTest, RequestsBypassTheCacheAndTheProbeAsksForTheFirst100KiB) {
    const QUrl feed = addMirror("only");
    const auto mirror = makeMirror();

    ASSERT_TRUE(race(*mirror, {feed}));

    const auto fetch = server.request("/only/appcast.xml");
    const auto probe = server.request("/only/Brimo.dmg");
    ASSERT_TRUE(fetch && probe);
    EXPECT_EQ(fetch->method, "GET");
    EXPECT_EQ(probe->method, "GET");
    EXPECT_EQ(fetch->headers.count("range"), 0u);
    EXPECT_EQ(probe->headers.at("range"), "bytes=0-102399");
    for (const auto& request : {*fetch, *probe})
        EXPECT_EQ(request.headers.at("cache-control"), "no-cache");
}

TEST_F(AppcastMirrorTest, MirrorsWhoseDownloadFailsLoseEvenWhenTheyAnswerFirst) {
    const QUrl missing = addMirror("missing", {404, "not here"});
    const QUrl empty = addMirror("empty", {200, ""});
    const QUrl broken = addMirror("broken", {500, "DMG"});
    const QUrl late = addMirror("late", {200, feedOf("late"), 0ms, true}, {200, "DMG"});
    const auto mirror = makeMirror();

    const auto outcome = startRace(*mirror, {missing, empty, broken, late});
    ASSERT_TRUE(processEventsUntil([&] {
        for (const QByteArray path :
             {"/missing/Brimo.dmg", "/empty/Brimo.dmg", "/broken/Brimo.dmg"})
            if (!server.request(path) || !server.request(path)->answered) return false;
        return true;
    }));
    EXPECT_FALSE(outcome->finished);
    server.release("/late/appcast.xml");
    ASSERT_TRUE(processEventsUntil([&] { return outcome->finished; }));

    ASSERT_TRUE(outcome->winner);
    EXPECT_EQ(outcome->winner->url, late);
}

TEST_F(AppcastMirrorTest, FeedsThatDoNotParseNeverWin) {
    const QByteArray secondItemOnly = R"(<rss version="2.0"><channel>
<item><title>1.0</title></item>
<item><title>0.9</title><enclosure url=")" +
                                      server.url("/second/Brimo.dmg").toEncoded() +
                                      R"("/></item></channel></rss>)";
    const std::vector<QUrl> candidates = {
        addMirror("truncated", {200, feedOf("truncated").left(120)}, {200, "DMG"}),
        addMirror("second", {200, secondItemOnly}, {200, "DMG"}),
        addMirror("plain", {200, feedFor("http://127.0.0.1:1/Brimo.dmg")}, {200, "DMG"}),
        addMirror("page", {200, "<html><body>Moved</body></html>"}, {200, "DMG"}),
    };
    const auto mirror = makeMirror();

    EXPECT_FALSE(race(*mirror, candidates));

    // Nothing was probed: a feed that fails to parse offers no download.
    for (const auto& request : server.requests())
        EXPECT_TRUE(request.path.endsWith("/appcast.xml")) << request.path.toStdString();
    EXPECT_EQ(server.requests().size(), candidates.size());
}

TEST_F(AppcastMirrorTest, RaceWithoutWinnerKeepsThePersistedWinnerAndTheStack) {
    const std::vector<QUrl> candidates = {
        addMirror("error", {503, feedOf("error")}, {200, "DMG"}),
        addMirror("silent", {200, feedOf("silent"), 0ms, true}, {200, "DMG"}),
        addMirror("silentdownload", {200, "DMG", 0ms, true}),
        addMirror("nodownload", {404, ""}),
    };
    persistWinner(defaults, candidates[1]);
    const auto mirror = makeMirror(500ms, 500ms);

    EXPECT_FALSE(race(*mirror, candidates));

    // The time-outs closed the requests that got no answer.
    EXPECT_TRUE(processEventsUntil([&] {
        return closedBeforeAnswer("/silent/appcast.xml") &&
               closedBeforeAnswer("/silentdownload/Brimo.dmg");
    }));
    EXPECT_EQ(log->messages(), Lines{"Appcast enclosure race produced no current winner"});
    EXPECT_EQ(persistedOnDisk(), candidates[1]);
    EXPECT_FALSE(stack.isCreated());
    // The next look at the stack starts from the persisted winner.
    EXPECT_EQ(mirror->stackTop(candidates), candidates[1]);
    EXPECT_EQ(stack.urls(), (std::vector<QUrl>{candidates[0], candidates[1]}));
}

TEST_F(AppcastMirrorTest, EachWinnerIsPushedPersistedAndLogged) {
    const QUrl first = addMirror("first", {200, feedOf("first"), 0ms, true}, {200, "DMG"});
    const QUrl second = addMirror("second");
    const auto mirror = makeMirror();

    const auto winner = race(*mirror, {first, second});

    ASSERT_TRUE(winner);
    EXPECT_EQ(winner->url, second);
    EXPECT_EQ(stack.urls(), (std::vector<QUrl>{first, second}));
    EXPECT_EQ(persistedOnDisk(), second);
    EXPECT_EQ(log->messages(),
              Lines{"Appcast current winner " + text(second) + " saved top " + text(second)});

    // In the same process the next winner goes on top.
    server.handle("/second/appcast.xml", {200, feedOf("second"), 0ms, true});
    server.release("/first/appcast.xml");
    log->clear();
    ASSERT_TRUE(race(*mirror, {first, second}));
    EXPECT_EQ(stack.urls(), (std::vector<QUrl>{first, second, first}));
    EXPECT_EQ(persistedOnDisk(), first);
    EXPECT_EQ(log->messages(),
              Lines{"Appcast current winner " + text(first) + " saved top " + text(first)});
}

TEST_F(AppcastMirrorTest, TheNextLaunchStartsFromThePersistedWinner) {
    const QUrl first = addMirror("first", {200, feedOf("first"), 0ms, true}, {200, "DMG"});
    const QUrl second = addMirror("second");
    ASSERT_TRUE(race(*makeMirror(), {first, second}));

    AppcastFeedStack nextStack;
    QSettings nextDefaults(defaults.fileName(), QSettings::IniFormat);
    AppcastMirror next({.network = network, .defaults = nextDefaults, .stack = nextStack});
    log->clear();

    EXPECT_EQ(next.stackTop({first, second}), second);
    EXPECT_EQ(nextStack.urls(), (std::vector<QUrl>{first, second}));
    EXPECT_EQ(log->messages(), Lines{"Appcast stack top " + text(second) +
                                     " default=" + text(first) + " saved=" + text(second)});
}

TEST_F(AppcastMirrorTest, ProbeStopsOnceTheFirst100KiBArrived) {
    // The server ignores the range and sends a download that never ends.
    const QUrl endless = addMirror("endless", {200, QByteArray(102400, 'x'), 0ms, false, false});
    const auto mirror = makeMirror(60s, 2s);

    const auto winner = race(*mirror, {endless});

    ASSERT_TRUE(winner);
    EXPECT_EQ(winner->url, endless);
}

TEST_F(AppcastMirrorTest, AFeedWithoutEndLosesOnceItPassesTheCap) {
    const QUrl endless =
        addMirror("endless", {200, feedOf("endless"), 0ms, false, true, 0ms}, {200, "DMG"});
    const auto mirror = makeMirror();

    EXPECT_FALSE(race(*mirror, {endless}));

    const auto request = server.request("/endless/appcast.xml");
    ASSERT_TRUE(request);
    EXPECT_TRUE(processEventsUntil(
        [&] { return server.request("/endless/appcast.xml")->closedWhileStreaming; }));
    EXPECT_GT(server.request("/endless/appcast.xml")->streamed, kMaxFeedBytes);
    EXPECT_LT(server.request("/endless/appcast.xml")->streamed,
              HttpsTestServer::kStreamSafetyBytes);
    EXPECT_FALSE(seen("/endless/Brimo.dmg"));
}

// Bytes every 20 ms keep the time-outs for silence from ever firing; only the deadlines end
// these races, on the fake clock. The first two rows run on the default deadlines.
TEST_F(AppcastMirrorTest, DeadlinesEndFetchesAndRacesThatDripBytes) {
    const Response drip{200, "<rss>", 0ms, false, true, 20ms};
    const struct {
        const char* part;
        bool feedDrips;
        bool fetchDeadlines;
        std::chrono::milliseconds deadline;
    } cases[] = {
        {"feed", true, true, 120s}, {"probe", false, true, 30s}, {"race", true, false, 150s}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.part);
        const QByteArray name = QByteArray("drip-") + row.part;
        const QUrl feed = addMirror(name, row.feedDrips ? drip : Response{200, feedOf(name)},
                                    row.feedDrips ? Response{200, "DMG"} : drip);
        const QByteArray path = "/" + name + (row.feedDrips ? "/appcast.xml" : "/Brimo.dmg");
        FakeAppClock clock;
        AppcastMirror::Options options{.network = network,
                                       .defaults = defaults,
                                       .stack = stack,
                                       .tls = server.clientConfiguration(),
                                       .clock = clock};
        if (!row.fetchDeadlines) options.feedDeadline = options.probeDeadline = 24h;
        AppcastMirror mirror(options);
        log->clear();
        const auto outcome = startRace(mirror, {feed});
        ASSERT_TRUE(processEventsUntil([&] {
            const auto request = server.request(path);
            return request && request->streamed > 0;
        }));

        // Measured from the start, not from the last byte.
        clock.advance(row.deadline - 1ms);
        EXPECT_FALSE(outcome->finished);
        clock.advance(1ms);
        EXPECT_TRUE(processEventsUntil([&] { return outcome->finished; }));
        EXPECT_FALSE(outcome->winner);
        EXPECT_EQ(log->messages(), Lines{"Appcast enclosure race produced no current winner"});
        EXPECT_TRUE(processEventsUntil([&] { return server.request(path)->closedWhileStreaming; }));
    }
}

TEST_F(AppcastMirrorTest, UntrustedServerNeverWins) {
    const QUrl feed = addMirror("only");
    AppcastMirror mirror({.network = network, .defaults = defaults, .stack = stack});

    EXPECT_FALSE(race(mirror, {feed}));
    EXPECT_FALSE(seen("/only/appcast.xml"));
}

TEST_F(AppcastMirrorTest, NoCandidatesGiveNoWinnerAndChangeNothing) {
    const auto mirror = makeMirror();

    EXPECT_FALSE(race(*mirror, {}));
    EXPECT_TRUE(log->messages().empty());
    EXPECT_FALSE(stack.isCreated());
}

TEST_F(AppcastMirrorTest, DestroyingTheMirrorAbortsItsRaceWithoutCompleting) {
    const QUrl feed = addMirror("held", {200, feedOf("held"), 0ms, true}, {200, "DMG"});
    auto mirror = makeMirror();
    const auto outcome = startRace(*mirror, {feed});
    ASSERT_TRUE(processEventsUntil([&] { return seen("/held/appcast.xml"); }));

    mirror.reset();

    EXPECT_TRUE(processEventsUntil([&] { return closedBeforeAnswer("/held/appcast.xml"); }));
    EXPECT_FALSE(outcome->finished);
}

class AppcastMirrorStackTest : public testing::Test {
protected:
    const QUrl first{"https://mirror-a.example/Brimo/download/appcast.xml"};
    const QUrl second{"https://mirror-b.example/Brimo/download/appcast.xml"};
    QTemporaryDir home;
    QSettings defaults{home.filePath("Brimo.conf"), QSettings::IniFormat};
    AppcastFeedStack stack;
    QNetworkAccessManager network;
    AppcastMirror mirror{{.network = network, .defaults = defaults, .stack = stack}};
    log::ScopedMemorySink log;
};

TEST_F(AppcastMirrorStackTest, PersistedWinnerNoLongerACandidateIsIgnored) {
    const QUrl gone("https://retired.example/Brimo/download/appcast.xml");
    persistWinner(defaults, gone);

    EXPECT_EQ(mirror.stackTop({first, second}), first);
    EXPECT_EQ(stack.urls(), std::vector<QUrl>{first});
    EXPECT_EQ(log->messages(), Lines{"Appcast stack top " + text(first) +
                                     " default=" + text(first) + " saved=" + text(gone)});
}

TEST_F(AppcastMirrorStackTest, PersistedWinnerAmongTheCandidatesIsTheTop) {
    persistWinner(defaults, second);

    EXPECT_EQ(mirror.stackTop({first, second}), second);
    // Created once: later calls see the same stack whatever the candidates.
    EXPECT_EQ(mirror.stackTop({second}), second);
    EXPECT_EQ(stack.urls(), (std::vector<QUrl>{first, second}));
    EXPECT_EQ(log->messages(), (Lines{"Appcast stack top " + text(second) +
                                          " default=" + text(first) + " saved=" + text(second),
                                      "Appcast stack top " + text(second) +
                                          " default=" + text(second) + " saved=" + text(second)}));
}

TEST_F(AppcastMirrorStackTest, MissingEmptyOrInvalidPersistedWinnerCountsAsNone) {
    EXPECT_EQ(persistedWinner(defaults), std::nullopt);
    defaults.setValue(kAppcastWinnerKey, "");
    EXPECT_EQ(persistedWinner(defaults), std::nullopt);
    defaults.setValue(kAppcastWinnerKey, "https://mirror a.example/%zz");
    EXPECT_EQ(persistedWinner(defaults), std::nullopt);

    EXPECT_EQ(mirror.stackTop({first, second}), first);
    EXPECT_EQ(log->messages(), Lines{"Appcast stack top " + text(first) +
                                     " default=" + text(first) + " saved=none"});

    persistWinner(defaults, second);
    EXPECT_EQ(persistedWinner(defaults), second);
    persistWinner(defaults, std::nullopt);
    EXPECT_FALSE(defaults.contains(kAppcastWinnerKey));
}

TEST(AppcastMirrorWebSiteBaseTest, DropsTheFeedFileAndTheDownloadFolder) {
    const auto base = [](const char* feed) {
        const auto url = webSiteBase(QUrl(feed));
        return url ? url->toString().toStdString() : std::string("none");
    };
    EXPECT_EQ(base("https://tarvel.example/Brimo/download/appcast.xml"),
              "https://tarvel.example/Brimo");
    EXPECT_EQ(base("HTTPS://tarvel.example/Brimo/download/appcast.xml"),
              "https://tarvel.example/Brimo");
    // Without an extension only the download folder goes.
    EXPECT_EQ(base("https://tarvel.example/Brimo/Download"), "https://tarvel.example/Brimo");
    EXPECT_EQ(base("https://tarvel.example/feeds/appcast.xml"), "https://tarvel.example/feeds");
    EXPECT_EQ(base("https://tarvel.example/Brimo/releases"),
              "https://tarvel.example/Brimo/releases");
    EXPECT_EQ(base("https://tarvel.example:8443/appcast.xml"), "https://tarvel.example:8443/");
    EXPECT_EQ(base("http://tarvel.example/Brimo/download/appcast.xml"), "none");
    EXPECT_EQ(base("https:///Brimo/download/appcast.xml"), "none");
}

} // namespace
} // namespace brimo::app::updates
