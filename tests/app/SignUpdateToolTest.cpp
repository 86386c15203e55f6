#include "app/updates/AppcastFeed.h"
#include "app/updates/AppcastParser.h"
#include "app/updates/UpdateSignature.h"
#include "tests/support/ChildProcess.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brimo::app::updates {
namespace {

namespace fs = std::filesystem;
using test::runChild;

// The real brimo-sign-update, run as a publisher runs it, in a scratch folder.
class SignUpdateTool : public testing::Test {
protected:
    QTemporaryDir scratch;
    fs::path dir{scratch.path().toStdString()};
    fs::path secret = dir / "brimo-update.key";

    test::ChildResult tool(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), BRIMO_SIGN_UPDATE_PATH);
        return runChild(arguments);
    }

    // keygen's public key, its trailing newline dropped.
    std::string makeKeys(const fs::path& keyFile) {
        auto result = tool({"keygen", keyFile});
        EXPECT_EQ(result.exitCode, 0);
        return trimmed(result.output);
    }
    std::string makeKeys() { return makeKeys(secret); }

    fs::path writeFile(const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return dir / name;
    }

    static std::string readFile(const fs::path& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path writeArchive(const std::string& name, size_t size, char seed) {
        const fs::path path = dir / name;
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            out.put(static_cast<char>(seed + i * 31 % 251));
        return path;
    }

    static std::string trimmed(const std::string& text) {
        return QString::fromStdString(text).trimmed().toStdString();
    }

    static bool verifies(const fs::path& file, const std::string& signature,
                         const std::string& publicKey) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        const bool valid = verifyDescriptor(fd, signature, publicKey);
        ::close(fd);
        return valid;
    }

    // The attributes of the first `enclosure` in `xml`, by qualified name.
    static QXmlStreamAttributes enclosureAttributes(const std::string& xml) {
        QXmlStreamReader reader(QByteArray::fromStdString(xml));
        reader.setNamespaceProcessing(false);
        while (!reader.atEnd())
            if (reader.readNext() == QXmlStreamReader::StartElement &&
                reader.qualifiedName() == QLatin1String("enclosure"))
                return reader.attributes();
        ADD_FAILURE() << "no enclosure in " << xml;
        return {};
    }
};

TEST_F(SignUpdateTool, KeygenWritesAPrivateKeyOnceAndItsSignaturesVerify) {
    const std::string publicKey = makeKeys();
    EXPECT_EQ(publicKey.size(), 44u); // Base64 of 32 bytes
    struct stat info {};
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A second keygen never replaces the key releases are signed with.
    const std::string before = readFile(secret);
    EXPECT_NE(tool({"keygen", secret}).exitCode, 0);
    EXPECT_EQ(readFile(secret), before);

    // The public key a release build embeds is the one keygen printed.
    const auto derived = tool({"public-key", secret});
    EXPECT_EQ(derived.exitCode, 0);
    EXPECT_EQ(trimmed(derived.output), publicKey);

    const fs::path archive = writeArchive("Brimo.tar.gz", 200000, 'a');
    const auto signed_ = tool({"sign", archive, secret});
    ASSERT_EQ(signed_.exitCode, 0);
    const std::string signature = trimmed(signed_.output);
    EXPECT_TRUE(verifies(archive, signature, publicKey));

    const fs::path other = writeArchive("Other.tar.gz", 200000, 'b');
    EXPECT_FALSE(verifies(other, signature, publicKey));
    EXPECT_FALSE(verifies(archive, signature, makeKeys(dir / "other.key")));
}

TEST_F(SignUpdateTool, ItemAnnouncesTheSignedArchiveAsTheAppReadsIt) {
    const std::string publicKey = makeKeys();
    const fs::path archive = writeArchive("Brimo-1.4-57.tar.gz", 123457, 'c');
    const auto result = tool(
        {"item", archive, secret, "--url", "https://dl.example.com/Brimo-1.4-57.tar.gz",
         "--version", "57", "--short-version", "1.4", "--date", "Tue, 04 Jun 2024 10:20:30 +0000"});
    ASSERT_EQ(result.exitCode, 0);

    // The app's mirror race reads the first item of a feed.
    const auto feed = tool({"feed", "--title", "Brimo", writeFile("item.xml", result.output)});
    ASSERT_EQ(feed.exitCode, 0);
    const AppcastItem item = AppcastParser::parse(QByteArray::fromStdString(feed.output));
    EXPECT_EQ(item.appName, "Brimo");
    EXPECT_EQ(item.title, "Version 1.4");
    EXPECT_EQ(item.build, "57");
    EXPECT_EQ(item.shortVersion, "1.4");
    EXPECT_EQ(item.enclosureURL, QUrl("https://dl.example.com/Brimo-1.4-57.tar.gz"));
    EXPECT_EQ(item.enclosureLength, 123457);
    EXPECT_EQ(item.publishedAt, QDateTime(QDate(2024, 6, 4), QTime(10, 20, 30), Qt::UTC));

    const QXmlStreamAttributes enclosure = enclosureAttributes(result.output);
    EXPECT_EQ(enclosure.value("type"), QLatin1String("application/gzip"));
    EXPECT_EQ(enclosure.value("sparkle:version"), QLatin1String("57"));
    EXPECT_EQ(enclosure.value("sparkle:shortVersionString"), QLatin1String("1.4"));
    EXPECT_TRUE(verifies(archive, enclosure.value("sparkle:edSignature").toString().toStdString(),
                         publicKey));

    // Without --date the item carries the time it was made, in a form the app reads; a date
    // in another zone is written in UTC.
    const auto undated = tool({"item", archive, secret, "--url", "https://x.example/a.tar.gz",
                               "--version", "57", "--short-version", "1.4"});
    ASSERT_EQ(undated.exitCode, 0);
    const auto undatedFeed = tool({"feed", writeFile("undated.xml", undated.output)});
    EXPECT_TRUE(AppcastParser::parse(QByteArray::fromStdString(undatedFeed.output)).publishedAt);
    const auto zoned =
        tool({"item", archive, secret, "--url", "https://x.example/a.tar.gz", "--version", "57",
              "--short-version", "1.4", "--date", "Tue, 4 Jun 2024 12:20:30 +0200"});
    EXPECT_NE(zoned.output.find("<pubDate>Tue, 04 Jun 2024 10:20:30 +0000</pubDate>"),
              std::string::npos)
        << zoned.output;
}

TEST_F(SignUpdateTool, ItemEscapesWhatThePublisherPasses) {
    makeKeys();
    const fs::path archive = writeArchive("a.tar.gz", 10, 'd');
    const std::string url = "https://dl.example.com/get?file=Brimo.tar.gz&mirror='eu'&x=<1>";
    const auto result =
        tool({"item", archive, secret, "--url", url, "--version", "58", "--short-version",
              "1.5 \"Aurora\"", "--title", "Fixes & <polish> for \"1.5\""});
    ASSERT_EQ(result.exitCode, 0);

    const auto feed = tool({"feed", writeFile("item.xml", result.output)});
    ASSERT_EQ(feed.exitCode, 0);
    const AppcastItem item = AppcastParser::parse(QByteArray::fromStdString(feed.output));
    EXPECT_EQ(item.enclosureURL, QUrl(QString::fromStdString(url)));
    EXPECT_EQ(item.enclosureURL.query(QUrl::FullyDecoded),
              QStringLiteral("file=Brimo.tar.gz&mirror='eu'&x=<1>"));
    EXPECT_EQ(item.shortVersion, "1.5 \"Aurora\"");
    EXPECT_EQ(item.title, "Fixes & <polish> for \"1.5\"");
    EXPECT_EQ(enclosureAttributes(result.output).value("sparkle:shortVersionString"),
              QLatin1String("1.5 \"Aurora\""));
}

TEST_F(SignUpdateTool, ItemRefusesWhatTheAppCouldNotUse) {
    makeKeys();
    const fs::path archive = writeArchive("a.tar.gz", 10, 'e');
    const std::vector<std::string> versions{"--version", "58", "--short-version", "1.5"};
    auto withVersions = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), versions.begin(), versions.end());
        return tool(arguments);
    };
    // Plain http: the app never downloads it.
    EXPECT_EQ(
        withVersions({"item", archive, secret, "--url", "http://dl.example.com/a.tar.gz"}).exitCode,
        1);
    EXPECT_EQ(withVersions({"item", archive, secret, "--url", "https://x.example/a.tar.gz",
                            "--date", "yesterday"})
                  .exitCode,
              1);
    EXPECT_EQ(withVersions(
                  {"item", dir / "missing.tar.gz", secret, "--url", "https://x.example/a.tar.gz"})
                  .exitCode,
              1);
    EXPECT_EQ(tool({"item", archive, secret, "--url", "https://x.example/a.tar.gz"}).exitCode, 2);
    EXPECT_EQ(tool({"sign", archive, dir / "missing.key"}).exitCode, 1);
}

TEST_F(SignUpdateTool, FeedKeepsItemsInOrderUnderTheSparkleNamespace) {
    const std::string publicKey = makeKeys();
    std::vector<std::string> itemFiles;
    std::vector<std::string> signatures;
    for (const auto& [build, shortVersion] : {std::pair{"58", "1.5"}, std::pair{"57", "1.4"}}) {
        const fs::path archive =
            writeArchive(std::string("Brimo-") + build + ".tar.gz", 5000, build[1]);
        const auto item = tool({"item", archive, secret, "--url",
                                std::string("https://dl.example.com/Brimo-") + build + ".tar.gz",
                                "--version", build, "--short-version", shortVersion});
        ASSERT_EQ(item.exitCode, 0);
        itemFiles.push_back(writeFile(std::string(build) + ".xml", item.output));
        signatures.push_back(trimmed(tool({"sign", archive, secret}).output));
    }
    const auto feed = tool({"feed", "--title", "Brimo & Co", itemFiles[0], itemFiles[1]});
    ASSERT_EQ(feed.exitCode, 0);

    // The updater's reading of the whole feed: both items, newest first, each with its signature.
    const auto items = AppcastFeed::parse(QByteArray::fromStdString(feed.output));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].version, "58");
    EXPECT_EQ(items[0].displayVersion, "1.5");
    EXPECT_EQ(items[0].length, 5000);
    EXPECT_EQ(items[0].edSignature, signatures[0]);
    EXPECT_EQ(items[1].version, "57");
    EXPECT_EQ(items[1].url, QUrl("https://dl.example.com/Brimo-57.tar.gz"));
    EXPECT_EQ(items[1].edSignature, signatures[1]);
    EXPECT_EQ(AppcastParser::parse(QByteArray::fromStdString(feed.output)).appName, "Brimo & Co");

    // Namespace-aware readers see the prefix bound to the framework's namespace.
    QXmlStreamReader reader(QByteArray::fromStdString(feed.output));
    bool sawVersion = false;
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement &&
            reader.name() == QLatin1String("version")) {
            EXPECT_EQ(reader.namespaceUri(),
                      QLatin1String("http://www.andymatuschak.org/xml-namespaces/sparkle"));
            sawVersion = true;
        }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    EXPECT_TRUE(sawVersion);

    // Only well-formed items reach a feed.
    EXPECT_EQ(tool({"feed", writeFile("broken.xml", "<item><title>1.6</title>")}).exitCode, 1);
    EXPECT_EQ(tool({"feed", writeFile("channel.xml", "<channel/>")}).exitCode, 1);
}

} // namespace
} // namespace brimo::app::updates
