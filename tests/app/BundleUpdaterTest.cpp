#include "app/updates/BundleUpdater.h"
#include "app/AppClock.h"
#include "app/updates/AppcastFeed.h"
#include "app/updates/AppcastParser.h"
#include "app/updates/MessageBoxUpdatePrompt.h"
#include "app/updates/UpdateSignature.h"
#include "shared/BundleInfo.h"
#include "shared/MountTable.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/HttpsTestServer.h"
#include "tests/support/ChildProcess.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QProgressDialog>
#include <QSettings>
#include <QSignalSpy>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <unistd.h>

namespace brimo::app::updates {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HttpsTestServer;
using test::processEventsUntil;
using Lines = std::vector<std::string>;
using Choice = UpdatePrompt::Choice;

// ---------------------------------------------------------------------------------------------
// The feed's items.

TEST(AppcastFeedTest, ReadsEveryItemInBothDialectsAndKeepsFeedOrder) {
    const QByteArray feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Brimo</title>
<item><title>Version 1.2</title>
  <sparkle:version> 12 </sparkle:version><sparkle:shortVersionString>1.2</sparkle:shortVersionString>
  <sparkle:version>99</sparkle:version>
  <enclosure url="https://example.com/Brimo-12.tar.gz" length="+2048" sparkle:version="98"
    sparkle:edSignature="c2lnMTI="/></item>
<item><title>Old style</title>
  <enclosure url="HTTPS://example.com/Brimo-11.tar.gz" length="12a" sparkle:version="11"
    sparkle:shortVersionString="1.1"/><sparkle:edSignature>c2lnMTE=</sparkle:edSignature></item>
<item><title>Build only</title><sparkle:version>9</sparkle:version>
  <enclosure url="https://example.com/Brimo-9.tar.gz"/></item>
</channel></rss>)";

    const auto items = AppcastFeed::parse(feed);

    ASSERT_EQ(items.size(), 3u);
    // Elements win over the enclosure's attributes; the first element wins.
    EXPECT_EQ(items[0].version, "12");
    EXPECT_EQ(items[0].displayVersion, "1.2");
    EXPECT_EQ(items[0].url, QUrl("https://example.com/Brimo-12.tar.gz"));
    EXPECT_EQ(items[0].length, 2048);
    EXPECT_EQ(items[0].edSignature, "c2lnMTI=");
    // Versions as enclosure attributes, the signature as an element.
    EXPECT_EQ(items[1].version, "11");
    EXPECT_EQ(items[1].displayVersion, "1.1");
    EXPECT_EQ(items[1].length, std::nullopt);
    EXPECT_EQ(items[1].edSignature, "c2lnMTE=");
    // Without a short version the build is shown; without a signature it is empty.
    EXPECT_EQ(items[2].displayVersion, "9");
    EXPECT_EQ(items[2].edSignature, "");
}

TEST(AppcastFeedTest, LeavesOutItemsThatCannotBeInstalledAndRejectsBrokenXml) {
    const QByteArray feed = R"(<rss><channel>
<item><sparkle:version>20</sparkle:version><enclosure url="http://example.com/a.tar.gz"/></item>
<item><sparkle:version>21</sparkle:version></item>
<item><title>2.2</title><enclosure url="https://example.com/c.tar.gz"/></item>
<item><sparkle:version>23</sparkle:version><enclosure url="https://example.com/d.tar.gz"/></item>
</channel>
<item><sparkle:version>24</sparkle:version><enclosure url="https://example.com/e.tar.gz"/></item>
</rss>)";
    const auto items = AppcastFeed::parse(feed);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].version, "23");

    EXPECT_THROW(AppcastFeed::parse(feed.left(feed.size() - 20)), AppcastParseError);
}

// ---------------------------------------------------------------------------------------------
// Archive signatures.

class UpdateSignatureTest : public testing::Test {
protected:
    UpdateSignatureTest() {
        std::ofstream(file, std::ios::binary) << "archive bytes\n";
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~UpdateSignatureTest() override {
        ::close(fd);
        fs::remove(file);
    }
    bool verifies(const std::string& signature, const std::string& publicKey) {
        ::lseek(fd, 0, SEEK_SET);
        return verifyDescriptor(fd, signature, publicKey);
    }

    fs::path file = fs::temp_directory_path() / ("brimo-signature-" + std::to_string(::getpid()));
    int fd = -1;
    SigningKeyPair keys = generateSigningKeyPair();
};

TEST_F(UpdateSignatureTest, AcceptsOnlyTheKeysSignatureOfTheWholeFile) {
    const std::string signature = signFile(file, keys.secretKey);
    EXPECT_TRUE(verifies(signature, keys.publicKey));

    // Another key, a tampered signature, malformed Base64 and an empty signature all fail.
    EXPECT_FALSE(verifies(signature, generateSigningKeyPair().publicKey));
    std::string flipped = signature;
    flipped[4] = flipped[4] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(verifies(flipped, keys.publicKey));
    EXPECT_FALSE(verifies(signature.substr(0, 40), keys.publicKey));
    EXPECT_FALSE(verifies("", keys.publicKey));
    EXPECT_FALSE(verifies(signature, ""));

    // What is checked is what is read from the descriptor's position on.
    ::lseek(fd, 3, SEEK_SET);
    EXPECT_FALSE(verifyDescriptor(fd, signature, keys.publicKey));
    std::ofstream(file, std::ios::app) << "appended";
    EXPECT_FALSE(verifies(signature, keys.publicKey));
}

TEST_F(UpdateSignatureTest, SigningNeedsASecretKeyAndAReadableFile) {
    EXPECT_THROW(signFile(file, keys.publicKey), std::runtime_error);
    EXPECT_THROW(signFile(file / "missing", keys.secretKey), std::runtime_error);
}

// ---------------------------------------------------------------------------------------------
// The update cycle.

// Writes each step as the app's delegate writes it to standard output.
class RecordingDelegate final : public UpdaterDelegateProtocol {
public:
    std::optional<QString> feed;
    Lines lines;
    bool finished = false;
    std::function<void()> afterDownload;

    std::optional<QString> feedURLString() override { return feed; }
    void didFindValidUpdate(const UpdateItem& item) override {
        add("found update: " + item.displayVersion + " (build " + item.version + ")");
    }
    void didNotFindUpdate(const UpdateError& error) override {
        add("no update: " + error.description);
    }
    void willDownloadUpdate(const UpdateItem& item, const QNetworkRequest& request) override {
        add("will download: " + item.displayVersion + " from " +
            request.url().toString().toStdString());
    }
    void didDownloadUpdate(const UpdateItem& item) override {
        add("downloaded: " + item.displayVersion);
        if (afterDownload) afterDownload();
    }
    void failedToDownloadUpdate(const UpdateItem& item, const UpdateError& error) override {
        add("download failed for " + item.displayVersion + ": " + error.description);
    }
    void willExtractUpdate(const UpdateItem& item) override {
        add("will extract: " + item.displayVersion);
    }
    void didExtractUpdate(const UpdateItem& item) override {
        add("extracted: " + item.displayVersion);
    }
    void willInstallUpdate(const UpdateItem& item) override {
        add("will install: " + item.displayVersion);
    }
    void didAbortWithError(const UpdateError& error) override {
        add("aborted: domain=" + error.domain + " code=" + std::to_string(error.code) + " " +
            error.description);
    }
    void didFinishUpdateCycle(UpdateCheck check, const std::optional<UpdateError>& error) override {
        add(error ? "cycle finished: " + error->description
                  : std::string("cycle finished OK (check=") + updateCheckName(check) + ")");
        finished = true;
    }

private:
    void add(const std::string& line) { lines.push_back("[Sparkle] " + line); }
};

// The user, answering every offer the same way.
class ScriptedPrompt final : public UpdatePrompt {
public:
    Choice answer = Choice::installNow;
    Lines seen;
    std::vector<int64_t> progress;
    std::vector<std::optional<int64_t>> totals;

    Choice askToInstall(const UpdateItem& item, const std::string& installed) override {
        seen.push_back("offer " + item.displayVersion + " over " + installed);
        return answer;
    }
    void downloadProgress(int64_t received, std::optional<int64_t> total) override {
        progress.push_back(received);
        totals.push_back(total);
    }
    void showNoUpdate(const UpdateError& error) override {
        seen.push_back("no update " + std::to_string(error.code));
    }
    void showError(const UpdateError& error) override {
        seen.push_back("error " + std::to_string(error.code));
    }
};

using Child = test::ScopedChild;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// A bundle of build `build`: its Brimo writes "build <build>" to "<bundle>.launched", its
// brimo-launchctl appends its arguments to "<bundle>.launchctl".
void makeBundle(const fs::path& bundle, const std::string& build, const std::string& display,
                const std::string& publicKey) {
    test::writeInfoPlist(infoDictionaryPath(bundle), {{"CFBundleIdentifier", "Ozm.Tarvel.Mac"},
                                                      {"CFBundleVersion", build},
                                                      {"CFBundleShortVersionString", display},
                                                      {kPublicKeyInfoKey, publicKey}});
    writeFile(bundle / "Contents/MacOS/Brimo",
              "#!/bin/sh\nprintf 'build " + build +
                  "\\n' > \"${0%/Contents/MacOS/Brimo}.launched\"\n");
    writeFile(bundle / "Contents/MacOS/brimo-launchctl",
              "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"${0%/Contents/MacOS/brimo-launchctl}"
              ".launchctl\"\n");
}

std::string buildOf(const fs::path& bundle) {
    return infoDictionaryString(infoDictionaryPath(bundle), "CFBundleVersion").value_or("none");
}

struct Release {
    std::string build;
    std::string display;
    QByteArray path; // on the test server
    std::optional<int64_t> length;
    std::string signature;
};

QByteArray feedOf(const std::vector<Release>& releases, const HttpsTestServer& server) {
    QByteArray feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Brimo</title>)";
    for (const Release& release : releases) {
        feed += "<item><title>Brimo " + QByteArray::fromStdString(release.display) +
                "</title><sparkle:version>" + QByteArray::fromStdString(release.build) +
                "</sparkle:version><sparkle:shortVersionString>" +
                QByteArray::fromStdString(release.display) +
                "</sparkle:shortVersionString><enclosure url=\"" +
                server.url(release.path).toEncoded() + "\"";
        if (release.length) feed += " length=\"" + QByteArray::number(*release.length) + "\"";
        feed += " sparkle:edSignature=\"" + QByteArray::fromStdString(release.signature) +
                "\" type=\"application/octet-stream\"/></item>\n";
    }
    return feed + "</channel></rss>\n";
}

// An installed Brimo.app of build 10 in a folder whose name needs quoting, a local HTTPS server
// for the feed and the archives, and a process whose exit the relaunch waits for.
class BundleUpdaterTest : public testing::Test {
protected:
    BundleUpdaterTest()
        : root_(makeRoot())
        , bundle_(root_ / "Applications" / "Brimo.app") {
        makeBundle(bundle_, "10", "1.0", keys_.publicKey);
        delegate_.feed = server_.url("/appcast.xml").toString();
    }
    ~BundleUpdaterTest() override {
        updater_.reset();
        app_.stop();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void SetUp() override { ASSERT_TRUE(server_.isListening()); }

    static fs::path makeRoot() {
        char pattern[] = "/tmp/brimo update 'it' XXXXXX";
        return ::mkdtemp(pattern);
    }

    // A signed .tar.gz of a Brimo.app of `build`, served at /Brimo-<build>.tar.gz.
    Release publish(const std::string& build, const std::string& display) {
        const fs::path staging = root_ / ("staging-" + build);
        makeBundle(staging / "Brimo.app", build, display, keys_.publicKey);
        return publishFolder(staging, build, display);
    }
    Release publishFolder(const fs::path& staging, const std::string& build,
                          const std::string& display) {
        const fs::path archive = root_ / ("Brimo-" + build + ".tar.gz");
        std::vector<std::string> tar{"/usr/bin/tar", "-czf", archive.string(), "-C",
                                     staging.string()};
        for (const auto& entry : fs::directory_iterator(staging))
            tar.push_back(entry.path().filename().string());
        EXPECT_EQ(test::runChild(tar).exitCode, 0);
        const QByteArray bytes = bytesOf(archive);
        const QByteArray path = "/Brimo-" + QByteArray::fromStdString(build) + ".tar.gz";
        server_.handle(path, {200, bytes});
        return {build, display, path, bytes.size(), signFile(archive, keys_.secretKey)};
    }
    static QByteArray bytesOf(const fs::path& file) {
        QFile in(QString::fromStdString(file.string()));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

    void serveFeed(const std::vector<Release>& releases) {
        server_.handle("/appcast.xml", {200, feedOf(releases, server_)});
    }

    BundleUpdater& startUpdater(const fs::path& bundle,
                                std::chrono::milliseconds transferTimeout = 60s,
                                const std::function<void(BundleUpdater::Options&)>& adjust = {}) {
        BundleUpdater::Options options{
            .network = network_,
            .delegate = delegate_,
            .prompt = *promptInUse_,
            .defaults = defaults_,
            .tls = server_.clientConfiguration(),
            .bundle = bundle,
            .bundleVersion = buildOf(bundle),
            .bundleDisplayVersion =
                infoDictionaryString(infoDictionaryPath(bundle), "CFBundleShortVersionString")
                    .value_or(""),
            .publicKey =
                infoDictionaryString(infoDictionaryPath(bundle), kPublicKeyInfoKey).value_or(""),
            .transferTimeout = transferTimeout,
            .processIdentifier = app_.pid(),
            .terminate = [this] { ++terminated_; },
            .clock = clock_,
        };
        if (adjust) adjust(options);
        updater_ = std::make_unique<BundleUpdater>(std::move(options));
        updater_->startUpdater();
        return *updater_;
    }
    BundleUpdater& startUpdater(const std::function<void(BundleUpdater::Options&)>& adjust) {
        return startUpdater(bundle_, 60s, adjust);
    }
    BundleUpdater& startUpdater() { return startUpdater(bundle_); }

    // Runs one cycle to its last line and returns the lines.
    Lines runCycle(UpdateCheck check) {
        delegate_.lines.clear();
        delegate_.finished = false;
        EXPECT_TRUE(updater_->canCheckForUpdates());
        check == UpdateCheck::updates ? updater_->checkForUpdates()
                                      : updater_->checkForUpdatesInBackground();
        EXPECT_TRUE(processEventsUntil([&] { return delegate_.finished; }));
        return delegate_.lines;
    }

    std::vector<fs::path> leftovers() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(bundle_.parent_path()))
            if (entry.path() != bundle_) found.push_back(entry.path());
        return found;
    }
    bool requested(const QByteArray& path) const { return server_.request(path).has_value(); }

    // A failed cycle changes nothing: the same bundle, no files beside it, no relaunch, and
    // the updater can check again.
    void expectUntouched() {
        EXPECT_EQ(buildOf(bundle_), "10");
        EXPECT_EQ(leftovers(), std::vector<fs::path>{});
        EXPECT_EQ(terminated_, 0);
        EXPECT_TRUE(processEventsUntil([&] { return updater_->canCheckForUpdates(); }));
    }

    std::string url(const QByteArray& path) const {
        return server_.url(path).toString().toStdString();
    }

    const fs::path root_;
    const fs::path bundle_;
    SigningKeyPair keys_ = generateSigningKeyPair();
    HttpsTestServer server_;
    QNetworkAccessManager network_;
    QSettings defaults_{QString::fromStdString((root_ / "Brimo.conf").string()),
                        QSettings::IniFormat};
    RecordingDelegate delegate_;
    ScriptedPrompt prompt_;
    MessageBoxUpdatePrompt messageBoxes_;
    UpdatePrompt* promptInUse_ = &prompt_;
    Child app_{{"/bin/sleep", "600"}};
    int terminated_ = 0;
    FakeAppClock clock_;
    std::unique_ptr<BundleUpdater> updater_;
};

TEST_F(BundleUpdaterTest, InstallsTheSignedNewBuildAndRelaunchesItOnceTheAppHasExited) {
    const Release next = publish("11", "1.1");
    serveFeed({next});
    auto& updater = startUpdater();
    QSignalSpy canCheck(&updater, &UpdaterController::canCheckForUpdatesChanged);

    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground),
              (Lines{"[Sparkle] found update: 1.1 (build 11)",
                     "[Sparkle] will download: 1.1 from " + url(next.path),
                     "[Sparkle] downloaded: 1.1", "[Sparkle] will extract: 1.1",
                     "[Sparkle] extracted: 1.1", "[Sparkle] will install: 1.1",
                     "[Sparkle] cycle finished OK (check=updatesInBackground)"}));
    EXPECT_EQ(prompt_.seen, Lines{"offer 1.1 over 1.0"});
    ASSERT_FALSE(prompt_.progress.empty());
    EXPECT_EQ(prompt_.progress.back(), *next.length);
    EXPECT_TRUE(std::is_sorted(prompt_.progress.begin(), prompt_.progress.end()));
    EXPECT_EQ(prompt_.totals,
              std::vector<std::optional<int64_t>>(prompt_.progress.size(), next.length));
    EXPECT_EQ(buildOf(bundle_), "11");
    EXPECT_EQ(terminated_, 1);
    // The app is going away: no further checks.
    EXPECT_FALSE(updater.canCheckForUpdates());
    ASSERT_EQ(canCheck.size(), 1);
    EXPECT_FALSE(canCheck[0][0].toBool());

    // The new copy starts only after the app has exited; then the replaced copy is gone too.
    const fs::path launched = bundle_.string() + ".launched";
    EXPECT_FALSE(fs::exists(launched));
    EXPECT_EQ(leftovers().size(), 1u) << "the replaced bundle stays until the app exits";
    app_.stop();
    ASSERT_TRUE(processEventsUntil([&] { return test::readText(launched) == "build 11\n"; }));
    const std::string uid = std::to_string(::getuid());
    EXPECT_EQ(test::lines(test::readText(bundle_.string() + ".launchctl")),
              (Lines{"bootout user/" + uid + "/Ozm.Tarvel.Mac.XPC",
                     "bootout gui/" + uid + "/Ozm.Tarvel.Mac.XPC"}));
    EXPECT_EQ(leftovers(), (std::vector<fs::path>{launched, bundle_.string() + ".launchctl"}));
}

TEST_F(BundleUpdaterTest, RefusesArchivesWithoutTheKeysSignature) {
    Release next = publish("11", "1.1");
    const Release other = publish("12", "1.2");
    const std::string unsigned_ = "The update is not signed, so it was not installed.";
    const std::string invalid = "The update's signature is not valid, so it was not installed.";
    const fs::path strangerArchive = root_ / "Brimo-11.tar.gz";
    const struct {
        std::string signature;
        std::string description;
    } cases[] = {
        {"", unsigned_},
        {other.signature, invalid}, // another archive's
        {signFile(strangerArchive, generateSigningKeyPair().secretKey), invalid}, // another key
        {"not base64!", invalid},
    };
    auto& updater = startUpdater();
    for (const auto& [signature, description] : cases) {
        SCOPED_TRACE(signature);
        next.signature = signature;
        serveFeed({next});
        EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground),
                  (Lines{"[Sparkle] found update: 1.1 (build 11)",
                         "[Sparkle] will download: 1.1 from " + url(next.path),
                         "[Sparkle] downloaded: 1.1",
                         "[Sparkle] aborted: domain=SUSparkleErrorDomain code=3001 " + description,
                         "[Sparkle] cycle finished: " + description}));
        expectUntouched();
    }
    // The right signature over bytes changed on the way.
    next = publish("11", "1.1");
    QByteArray tampered = bytesOf(strangerArchive);
    tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 1);
    server_.handle(next.path, {200, tampered});
    serveFeed({next});
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground).back(),
              "[Sparkle] cycle finished: " + invalid);
    expectUntouched();
    EXPECT_EQ(fs::exists(bundle_.string() + ".launched"), false);
    EXPECT_TRUE(updater.canCheckForUpdates());
}

TEST_F(BundleUpdaterTest, AShortOrStalledDownloadIsNotInstalled) {
    Release next = publish("11", "1.1");
    const QByteArray whole = bytesOf(root_ / "Brimo-11.tar.gz");
    serveFeed({next});
    startUpdater(bundle_, 1s);

    // The server ends the answer early: fewer bytes than the feed announced.
    server_.handle(next.path, {200, whole.left(whole.size() - 100)});
    const std::string shortReason = "The update could not be downloaded: received " +
                                    std::to_string(whole.size() - 100) + " of the " +
                                    std::to_string(whole.size()) + " bytes the feed announced";
    EXPECT_EQ(runCycle(UpdateCheck::updates),
              (Lines{"[Sparkle] found update: 1.1 (build 11)",
                     "[Sparkle] will download: 1.1 from " + url(next.path),
                     "[Sparkle] download failed for 1.1: " + shortReason,
                     "[Sparkle] aborted: domain=SUSparkleErrorDomain code=2001 " + shortReason,
                     "[Sparkle] cycle finished: " + shortReason}));
    EXPECT_EQ(prompt_.seen, (Lines{"offer 1.1 over 1.0", "error 2001"}));
    expectUntouched();

    // The server announces one byte more than it sends and then goes quiet.
    server_.handle(next.path, {200, whole, 0ms, false, false});
    const Lines stalled = runCycle(UpdateCheck::updatesInBackground);
    ASSERT_EQ(stalled.size(), 5u);
    EXPECT_EQ(stalled[2].rfind("[Sparkle] download failed for 1.1: The update could not be "
                               "downloaded: ",
                               0),
              0u)
        << stalled[2];
    EXPECT_EQ(stalled[3].rfind("[Sparkle] aborted: domain=SUSparkleErrorDomain code=2001 ", 0), 0u);
    expectUntouched();
}

TEST_F(BundleUpdaterTest, ABundleTheUserCannotWriteIsLeftToThePackageManager) {
    makeBundle(root_ / "image/Brimo.app", "10", "1.0", keys_.publicKey);
    const fs::path mountPoint = root_ / "opt";
    ASSERT_TRUE(test::buildSquashfsImage(root_ / "image", root_ / "Brimo.sqfs"));
    test::SquashfuseImage image(root_ / "Brimo.sqfs", mountPoint);
    ASSERT_TRUE(image.mounted());
    const fs::path installed = mountPoint / "Brimo.app";
    serveFeed({publish("11", "1.1")});
    startUpdater(installed);

    const std::string reason = "Brimo 1.1 is available, but this copy of Brimo cannot be replaced "
                               "by its user: updates come from the package manager.";
    EXPECT_EQ(runCycle(UpdateCheck::updates),
              (Lines{"[Sparkle] found update: 1.1 (build 11)",
                     "[Sparkle] aborted: domain=SUSparkleErrorDomain code=4012 " + reason,
                     "[Sparkle] cycle finished: " + reason}));
    // The user is told, not asked; nothing was downloaded or changed.
    EXPECT_EQ(prompt_.seen, Lines{"error 4012"});
    EXPECT_FALSE(requested("/Brimo-11.tar.gz"));
    EXPECT_EQ(buildOf(installed), "10");
    EXPECT_EQ(terminated_, 0);
}

TEST_F(BundleUpdaterTest, OffersTheNewestBuildAboveTheInstalledOneOrSaysThereIsNone) {
    const Release newest = publish("12", "1.2");
    const Release older{"9", "0.9", "/Brimo-9.tar.gz", 1, "x"};
    const Release same{"10", "1.0", "/Brimo-10.tar.gz", 1, "x"};
    const Release middle{"11", "1.1", "/Brimo-11.tar.gz", 1, "x"};
    const Release noNumber{"1.3", "1.3", "/Brimo-13.tar.gz", 1, "x"};
    serveFeed({older, same, newest, middle, noNumber});
    startUpdater();

    prompt_.answer = Choice::later;
    EXPECT_EQ(runCycle(UpdateCheck::updates),
              (Lines{"[Sparkle] found update: 1.2 (build 12)",
                     "[Sparkle] cycle finished OK (check=updates)"}));
    EXPECT_EQ(prompt_.seen, Lines{"offer 1.2 over 1.0"});
    EXPECT_FALSE(requested(newest.path));

    // Only older, equal and unordered builds: the user who asked is told, a background check
    // stays silent.
    serveFeed({older, same, noNumber});
    const std::string none = "Brimo 1.0 (build 10) is the newest version available.";
    const Lines noUpdate{"[Sparkle] no update: " + none, "[Sparkle] cycle finished: " + none};
    EXPECT_EQ(runCycle(UpdateCheck::updates), noUpdate);
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground), noUpdate);
    EXPECT_EQ(prompt_.seen, (Lines{"offer 1.2 over 1.0", "no update 1001"}));
    expectUntouched();
}

TEST_F(BundleUpdaterTest, ASkippedBuildIsOfferedAgainOnlyWhenTheUserAsksOrANewerOneAppears) {
    const Release next = publish("11", "1.1");
    serveFeed({next});
    startUpdater();

    prompt_.answer = Choice::skipThisVersion;
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground).back(),
              "[Sparkle] cycle finished OK (check=updatesInBackground)");
    EXPECT_EQ(QSettings(defaults_.fileName(), QSettings::IniFormat).value(kSkippedVersionKey),
              "11");

    prompt_.answer = Choice::later;
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground).front(),
              "[Sparkle] no update: Brimo 1.0 (build 10) is the newest version available.");
    EXPECT_EQ(runCycle(UpdateCheck::updates).front(), "[Sparkle] found update: 1.1 (build 11)");
    serveFeed({next, {"12", "1.2", "/Brimo-12.tar.gz", 1, "x"}});
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground).front(),
              "[Sparkle] found update: 1.2 (build 12)");
    EXPECT_EQ(prompt_.seen,
              (Lines{"offer 1.1 over 1.0", "offer 1.1 over 1.0", "offer 1.2 over 1.0"}));
    EXPECT_FALSE(requested(next.path));
    expectUntouched();
}

TEST_F(BundleUpdaterTest, RefusesSignedArchivesThatDoNotHoldExactlyTheAnnouncedBundle) {
    // A second top-level entry beside the bundle.
    const fs::path extra = root_ / "staging-extra";
    makeBundle(extra / "Brimo.app", "11", "1.1", keys_.publicKey);
    writeFile(extra / "README", "hello");
    const Release twoEntries = publishFolder(extra, "11", "1.1");
    // A bundle of build 12 announced as build 11.
    Release mislabelled = publish("12", "1.2");
    mislabelled.build = "11";
    mislabelled.display = "1.1";
    const struct {
        Release release;
        std::string error;
    } cases[] = {
        {twoEntries, "code=3000 The update must hold exactly one Brimo.app and nothing else."},
        {mislabelled, "code=3002 The update holds build 12, not the build 11 the feed announced."},
    };
    startUpdater();
    for (const auto& [release, error] : cases) {
        SCOPED_TRACE(error);
        serveFeed({release});
        const Lines lines = runCycle(UpdateCheck::updatesInBackground);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[3], "[Sparkle] will extract: 1.1");
        EXPECT_EQ(lines[4], "[Sparkle] aborted: domain=SUSparkleErrorDomain " + error);
        expectUntouched();
    }
}

TEST_F(BundleUpdaterTest, StartsOnlyWithABuildNumberAndAKeyAndOnlyOnce) {
    serveFeed({publish("11", "1.1")});
    const fs::path keyless = root_ / "keyless/Brimo.app";
    makeBundle(keyless, "10", "1.0", "");
    const fs::path wrongKey = root_ / "wrongkey/Brimo.app";
    makeBundle(wrongKey, "10", "1.0", keys_.secretKey); // 64 bytes, not a public key
    const fs::path noBuild = root_ / "nobuild/Brimo.app";
    makeBundle(noBuild, "1.0", "1.0", keys_.publicKey);
    for (const auto& bundle : {keyless, wrongKey, noBuild}) {
        SCOPED_TRACE(bundle);
        EXPECT_THROW(startUpdater(bundle), UpdaterStartError);
        // Not started: checks do nothing.
        EXPECT_FALSE(updater_->canCheckForUpdates());
        updater_->checkForUpdates();
        updater_->checkForUpdatesInBackground();
    }
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_TRUE(delegate_.lines.empty());

    auto& updater = startUpdater();
    EXPECT_TRUE(updater.canCheckForUpdates());
    EXPECT_THROW(updater.startUpdater(), UpdaterStartError);
}

TEST_F(BundleUpdaterTest, ReadsOnlyAnHttpsFeed) {
    startUpdater();
    const std::string plain = "The update feed http://127.0.0.1:1/appcast.xml is not an https "
                              "address.";
    delegate_.feed = "http://127.0.0.1:1/appcast.xml";
    EXPECT_EQ(runCycle(UpdateCheck::updates),
              (Lines{"[Sparkle] aborted: domain=SUSparkleErrorDomain code=3 " + plain,
                     "[Sparkle] cycle finished: " + plain}));
    delegate_.feed.reset();
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground),
              (Lines{"[Sparkle] aborted: domain=SUSparkleErrorDomain code=4 No update feed is set.",
                     "[Sparkle] cycle finished: No update feed is set."}));
    EXPECT_EQ(prompt_.seen, Lines{"error 3"});
    expectUntouched();
}

TEST_F(BundleUpdaterTest, TheSignatureIsCheckedWhileTheEventLoopRuns) {
    serveFeed({publish("11", "1.1")});
    startUpdater();
    // Queued as the check starts: it runs first only if the check leaves the main thread free.
    delegate_.afterDownload = [this] {
        QTimer::singleShot(0, [this] { delegate_.lines.push_back("(event loop)"); });
    };

    const Lines lines = runCycle(UpdateCheck::updatesInBackground);

    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[2], "[Sparkle] downloaded: 1.1");
    EXPECT_EQ(lines[3], "(event loop)");
    EXPECT_EQ(lines[4], "[Sparkle] will extract: 1.1");
    EXPECT_EQ(buildOf(bundle_), "11");
}

TEST_F(BundleUpdaterTest, AFeedWithoutEndOrPastItsDeadlineFailsTheCycle) {
    startUpdater();
    const struct {
        const char* label;
        HttpsTestServer::Response feed;
        std::chrono::milliseconds deadline;
        std::string error;
    } cases[] = {
        {"endless",
         {200, "<rss>", 0ms, false, true, 0ms},
         0ms,
         "code=1000 Failed to parse appcast XML."},
        {"dripping",
         {200, "<rss>", 0ms, false, true, 20ms},
         120s,
         "code=1002 An error occurred in retrieving update information: the server did not send "
         "the feed within 120 seconds"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        server_.handle("/appcast.xml", row.feed);
        delegate_.lines.clear();
        delegate_.finished = false;
        const size_t requestsBefore = server_.requests().size();
        updater_->checkForUpdatesInBackground();
        const auto streamed = [&] {
            return server_.requests().size() > requestsBefore ? server_.requests().back().streamed
                                                              : 0;
        };
        ASSERT_TRUE(processEventsUntil([&] { return streamed() > 0 || delegate_.finished; }));
        if (row.deadline.count() > 0) {
            clock_.advance(row.deadline - 1ms);
            EXPECT_FALSE(delegate_.finished);
            clock_.advance(1ms);
        }
        ASSERT_TRUE(processEventsUntil([&] { return delegate_.finished; }));
        const std::string description = row.error.substr(row.error.find(' ') + 1);
        EXPECT_EQ(delegate_.lines,
                  (Lines{"[Sparkle] aborted: domain=SUSparkleErrorDomain " + row.error,
                         "[Sparkle] cycle finished: " + description}));
        EXPECT_TRUE(
            processEventsUntil([&] { return server_.requests().back().closedWhileStreaming; }));
        expectUntouched();
    }
}

TEST_F(BundleUpdaterTest, WithoutALengthInTheFeedTheDownloadStopsAtTheFixedBound) {
    Release next = publish("11", "1.1");
    next.length.reset();
    // The archive, then filler for as long as the client reads.
    server_.handle(next.path, {200, bytesOf(root_ / "Brimo-11.tar.gz"), 0ms, false, true, 0ms});
    serveFeed({next});
    startUpdater([](BundleUpdater::Options& options) { options.maximumDownloadBytes = 1 << 20; });

    const std::string reason = "The update could not be downloaded: the server sent more than the "
                               "1048576 bytes an update may have";
    EXPECT_EQ(runCycle(UpdateCheck::updatesInBackground),
              (Lines{"[Sparkle] found update: 1.1 (build 11)",
                     "[Sparkle] will download: 1.1 from " + url(next.path),
                     "[Sparkle] download failed for 1.1: " + reason,
                     "[Sparkle] aborted: domain=SUSparkleErrorDomain code=2001 " + reason,
                     "[Sparkle] cycle finished: " + reason}));
    EXPECT_TRUE(
        processEventsUntil([&] { return server_.request(next.path)->closedWhileStreaming; }));
    expectUntouched();
}

// A power cut cannot be staged here, so the calls are watched: where each synced entry was at
// the time tells whether it came before the swap.
TEST_F(BundleUpdaterTest, TheNewTreeIsOnDiskBeforeTheSwapAndTheSwapBeforeTheOldCopyGoes) {
    const fs::path staging = root_ / "staging-11";
    makeBundle(staging / "Brimo.app", "11", "1.1", keys_.publicKey);
    // A link is an entry of its folder, never followed out of the bundle.
    fs::create_directory_symlink("/etc", staging / "Brimo.app/Contents/SharedSupport");
    serveFeed({publishFolder(staging, "11", "1.1")});
    bool diskFails = true;
    std::vector<fs::path> synced;
    startUpdater([&](BundleUpdater::Options& options) {
        options.sync = [&](int fd) {
            if (diskFails) {
                errno = EIO;
                return -1;
            }
            synced.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd)));
            return ::fsync(fd);
        };
    });

    const Lines failed = runCycle(UpdateCheck::updatesInBackground);
    ASSERT_EQ(failed.size(), 8u);
    EXPECT_EQ(failed[6],
              "[Sparkle] aborted: domain=SUSparkleErrorDomain code=4000 The update could "
              "not be put in place: Input/output error");
    expectUntouched();

    diskFails = false;
    const Lines installed = runCycle(UpdateCheck::updatesInBackground);
    ASSERT_FALSE(installed.empty());
    EXPECT_EQ(installed.back(), "[Sparkle] cycle finished OK (check=updatesInBackground)");
    ASSERT_EQ(buildOf(bundle_), "11");
    ASSERT_EQ(leftovers().size(), 1u);
    const fs::path extracted = leftovers()[0] / "extracted";
    std::set<fs::path> tree{extracted / "Brimo.app"};
    for (const auto& entry : fs::recursive_directory_iterator(bundle_))
        if (!entry.is_symlink())
            tree.insert(extracted / "Brimo.app" / entry.path().lexically_relative(bundle_));
    ASSERT_EQ(synced.size(), tree.size() + 3);
    EXPECT_EQ(std::set<fs::path>(synced.begin(), synced.end() - 3), tree);
    EXPECT_EQ(std::vector<fs::path>(synced.end() - 3, synced.end()),
              (std::vector<fs::path>{extracted, bundle_.parent_path(), extracted}));
}

TEST_F(BundleUpdaterTest, StartingRemovesTheHiddenFoldersACrashLeftBehind) {
    const fs::path folder = bundle_.parent_path();
    // An unpacked update, a replaced copy and a probe, as a power cut leaves them.
    makeBundle(folder / ".Brimo.app.update-a1B2c3/extracted/Brimo.app", "11", "1.1", "");
    makeBundle(folder / ".Brimo.app.update-Zz9Yy8/extracted/Brimo.app", "9", "0.9", "");
    fs::create_directory(folder / ".Brimo.app.probe-Qw3Er4");
    // Not the updater's, or not a folder.
    std::set<fs::path> kept{bundle_};
    for (const char* name : {".Brimo.app.update-notes", "Brimo.app.update-a1B2c3",
                             ".Other.app.update-a1B2c3", ".Brimo.app.updates-a1B2c"})
        fs::create_directory(*kept.insert(folder / name).first);
    writeFile(root_ / "elsewhere/file", "kept");
    fs::create_directory_symlink(root_ / "elsewhere",
                                 *kept.insert(folder / ".Brimo.app.update-L1nk00").first);

    startUpdater();

    std::set<fs::path> remaining;
    for (const auto& entry : fs::directory_iterator(folder))
        remaining.insert(entry.path());
    EXPECT_EQ(remaining, kept);
    EXPECT_EQ(test::readText(root_ / "elsewhere/file"), "kept");
}

TEST_F(BundleUpdaterTest, TheDownloadShowsItsProgressAndCancelLeavesTheAppAsItWas) {
    const Release next = publish("11", "1.1");
    const QByteArray whole = bytesOf(root_ / "Brimo-11.tar.gz");
    // All but the last byte, then silence: the download stays open until it is cancelled.
    server_.handle(next.path, {200, whole.left(whole.size() - 1), 0ms, false, false});
    serveFeed({next});
    promptInUse_ = &messageBoxes_;
    startUpdater();

    test::whenMessageBoxShows([](QMessageBox&) {}, "Install Update");
    updater_->checkForUpdates();
    QPointer<QProgressDialog> dialog;
    ASSERT_TRUE(processEventsUntil([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QProgressDialog*>(window); found && found->isVisible())
                dialog = found;
        return dialog && dialog->value() == whole.size() - 1;
    }));
    EXPECT_EQ(dialog->maximum(), whole.size());

    // A user's check shows its failures; a cancel is no failure to show.
    bool errorShown = false;
    QTimer closeBoxes;
    closeBoxes.callOnTimeout([&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            errorShown = true;
            box->done(0);
        }
    });
    closeBoxes.start(10);
    dialog->findChild<QPushButton*>()->click();
    ASSERT_TRUE(processEventsUntil([&] { return delegate_.finished; }));

    const std::string reason = "The update could not be downloaded: the download was cancelled";
    EXPECT_EQ(delegate_.lines,
              (Lines{"[Sparkle] found update: 1.1 (build 11)",
                     "[Sparkle] will download: 1.1 from " + url(next.path),
                     "[Sparkle] download failed for 1.1: " + reason,
                     "[Sparkle] aborted: domain=SUSparkleErrorDomain code=2001 " + reason,
                     "[Sparkle] cycle finished: " + reason}));
    EXPECT_FALSE(errorShown);
    EXPECT_TRUE(!dialog || dialog->isHidden());
    expectUntouched();
}

} // namespace
} // namespace brimo::app::updates
