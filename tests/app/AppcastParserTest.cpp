#include "app/updates/AppcastParser.h"
#include "app/updates/AppcastFeed.h"

#include <QFile>
#include <QHostAddress>
#include <QLocale>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace brimo::app::updates {
namespace {

using Code = AppcastParseErrorCode;

const std::string kEnclosure =
    R"(<enclosure url="https://dl.example.com/Brimo-2.1.dmg" length="1024"/>)";

// A feed whose channel holds `items` after the channel's own title.
QByteArray feed(const std::string& items,
                const std::string& channelTitle = "<title>Brimo</title>") {
    return QByteArray::fromStdString(
        R"(<?xml version="1.0" encoding="utf-8"?>)"
        R"(<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
        "<channel>" +
        channelTitle + items + "</channel></rss>");
}

std::string item(const std::string& body) {
    return "<item>" + body + "</item>";
}

// The code of the error that parsing `bytes` throws; none when the parse succeeds.
std::optional<Code> failure(const QByteArray& bytes, std::string* description = nullptr) {
    try {
        AppcastParser::parse(bytes);
    } catch (const AppcastParseError& error) {
        if (description) *description = error.what();
        return error.code();
    }
    return std::nullopt;
}

QDateTime utc(int year, int month, int day, int hour, int minute, int second) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

// The date a feed with this publication date yields.
std::optional<QDateTime> publishedAt(const std::string& pubDate) {
    return AppcastParser::parse(
               feed(item("<title>2.1</title><pubDate>" + pubDate + "</pubDate>" + kEnclosure)))
        .publishedAt;
}

std::optional<int64_t> enclosureLength(const std::string& attribute) {
    return AppcastParser::parse(
               feed(item(R"(<title>2.1</title><enclosure url="https://x.example/a.dmg" )" +
                         attribute + "/>")))
        .enclosureLength;
}

TEST(AppcastParser, ReadsTheChannelTitleAndTheFirstItem) {
    const auto parsed = AppcastParser::parse(
        feed(item(R"(
            <title>
                Brimo 2.1
            </title>
            <pubDate>Tue, 10 Jun 2003 04:00:00 +0000</pubDate>
            <sparkle:version>210</sparkle:version>
            <sparkle:shortVersionString><![CDATA[ 2.1 ]]></sparkle:shortVersionString>
            <sparkle:minimumSystemVersion>13.0</sparkle:minimumSystemVersion>
            <sparkle:hardwareRequirements>arm64</sparkle:hardwareRequirements>
            <enclosure url="https://dl.example.com/Brimo-2.1.dmg" length="+123"/>)") +
                 item(R"(<title>Brimo 2.0</title><sparkle:version>200</sparkle:version>
                <enclosure url="https://dl.example.com/Brimo-2.0.dmg" length="99"/>)"),
             "<title>\n  Brimo Updates \t</title>"));
    EXPECT_EQ(parsed.appName, "Brimo Updates");
    EXPECT_EQ(parsed.title, "Brimo 2.1");
    EXPECT_EQ(parsed.shortVersion, "2.1");
    EXPECT_EQ(parsed.build, "210");
    EXPECT_EQ(parsed.publishedAt, utc(2003, 6, 10, 4, 0, 0));
    EXPECT_EQ(parsed.minimumSystemVersion, "13.0");
    EXPECT_EQ(parsed.hardwareRequirements, "arm64");
    EXPECT_EQ(parsed.enclosureURL, QUrl("https://dl.example.com/Brimo-2.1.dmg"));
    EXPECT_EQ(parsed.enclosureLength, 123);
}

TEST(AppcastParser, MatchesNamesAfterTheirPrefix) {
    // An undeclared prefix is no error; the name after it is what counts.
    const auto parsed = AppcastParser::parse(
        QByteArray("<rss><channel><item><x:title>1.0</x:title><y:version>100</y:version>"
                   "<z:enclosure url=\"https://x.example/a.dmg\"/></item></channel></rss>"));
    EXPECT_EQ(parsed.title, "1.0");
    EXPECT_EQ(parsed.build, "100");
    EXPECT_EQ(parsed.enclosureURL, QUrl("https://x.example/a.dmg"));
}

TEST(AppcastParser, TrimsValuesAndDropsEmptyOnes) {
    const auto parsed = AppcastParser::parse(
        feed(item("<title> \n </title><title>\t2.1\n</title><sparkle:minimumSystemVersion>  "
                  "</sparkle:minimumSystemVersion><sparkle:hardwareRequirements>\u2003arm64\u00a0"
                  "</sparkle:hardwareRequirements><pubDate> </pubDate>" +
                  kEnclosure),
             "<title>   </title>"));
    // A blank first title is no value: the next one is the first occurrence.
    EXPECT_EQ(parsed.title, "2.1");
    EXPECT_EQ(parsed.appName, std::nullopt);
    EXPECT_EQ(parsed.minimumSystemVersion, std::nullopt);
    EXPECT_EQ(parsed.hardwareRequirements, "arm64");
    EXPECT_EQ(parsed.publishedAt, std::nullopt);
}

TEST(AppcastParser, KeepsTheFirstOccurrenceOfEachField) {
    const auto parsed = AppcastParser::parse(
        feed(item("<title>first</title><title>second</title><sparkle:version>1</sparkle:version>"
                  "<sparkle:version>2</sparkle:version>"
                  // An enclosure without a url leaves the place to the next one.
                  R"(<enclosure length="5"/><enclosure url="https://x.example/a.dmg" length="7"/>)"
                  R"(<enclosure url="https://x.example/b.dmg" length="9"/>)"),
             "<title>Brimo</title><title>Other</title>"));
    EXPECT_EQ(parsed.appName, "Brimo");
    EXPECT_EQ(parsed.title, "first");
    EXPECT_EQ(parsed.build, "1");
    EXPECT_EQ(parsed.enclosureURL, QUrl("https://x.example/a.dmg"));
    EXPECT_EQ(parsed.enclosureLength, 7);

    // The first enclosure with a url is the one, even when a later one would do.
    std::string description;
    EXPECT_EQ(failure(feed(item(R"(<title>2.1</title><enclosure url="http://x.example/a.dmg"/>)"
                                R"(<enclosure url="https://x.example/a.dmg"/>)")),
                      &description),
              Code::invalidEnclosureURL);
    EXPECT_EQ(description, "Invalid enclosure URL: http://x.example/a.dmg");
}

TEST(AppcastParser, ReadsNothingAfterTheFirstItem) {
    EXPECT_EQ(failure(feed(item("<title>2.1</title>") + item("<title>2.0</title>" + kEnclosure))),
              Code::missingEnclosure);

    const auto parsed = AppcastParser::parse(
        feed(item("<title>2.1</title>" + kEnclosure) +
                 item("<title>2.0</title><pubDate>Tue, 10 Jun 2003 04:00:00 GMT</pubDate>"
                      "<sparkle:minimumSystemVersion>12.0</sparkle:minimumSystemVersion>" +
                      kEnclosure) +
                 "<title>Late channel title</title>",
             ""));
    EXPECT_EQ(parsed.title, "2.1");
    EXPECT_EQ(parsed.publishedAt, std::nullopt);
    EXPECT_EQ(parsed.minimumSystemVersion, std::nullopt);
    EXPECT_EQ(parsed.appName, std::nullopt);
}

TEST(AppcastParser, ReadsItemsOnlyInsideTheChannel) {
    // Outside the channel nothing is tracked and an enclosure outside an item is not taken.
    EXPECT_EQ(failure(QByteArray("<rss><title>Stray</title><channel><title>Brimo</title>" +
                                 QByteArray::fromStdString(kEnclosure) + "</channel></rss>")),
              Code::missingEnclosure);
    const auto parsed = AppcastParser::parse(QByteArray(
        "<rss><title>Stray</title><channel>" +
        QByteArray::fromStdString(item("<title>2.1</title>" + kEnclosure)) + "</channel></rss>"));
    EXPECT_EQ(parsed.appName, std::nullopt);
    EXPECT_EQ(parsed.title, "2.1");
}

TEST(AppcastParser, AcceptsOnlySecureEnclosureURLs) {
    const auto upper = AppcastParser::parse(
        feed(item(R"(<title>2.1</title><enclosure url="HTTPS://X.example/a.dmg"/>)")));
    EXPECT_EQ(upper.enclosureURL.scheme(), "https");
    EXPECT_EQ(upper.enclosureURL.host(), "x.example");

    for (const std::string url :
         {"http://x.example/a.dmg", "ftp://x.example/a.dmg", "x.example/a.dmg",
          " https://x.example/a.dmg", "https://x example/a.dmg", "   "}) {
        std::string description;
        EXPECT_EQ(
            failure(feed(item("<title>2.1</title><enclosure url=\"" + url + "\"/>")), &description),
            Code::invalidEnclosureURL)
            << url;
        // The text as written, not trimmed.
        EXPECT_EQ(description, "Invalid enclosure URL: " + url);
    }

    std::string description;
    EXPECT_EQ(failure(feed(item(R"(<title>2.1</title><enclosure url=""/>)")), &description),
              Code::missingEnclosure);
    EXPECT_EQ(description, "Appcast has no enclosure URL.");
    EXPECT_EQ(failure(feed(item("<title>2.1</title><enclosure length=\"5\"/>"))),
              Code::missingEnclosure);
}

TEST(AppcastParser, NeedsAShortVersionOrATitle) {
    std::string description;
    EXPECT_EQ(
        failure(feed(item("<sparkle:version>210</sparkle:version>" + kEnclosure)), &description),
        Code::missingVersion);
    EXPECT_EQ(description, "Appcast item has no version.");
    EXPECT_EQ(failure(feed(item("<title> </title><sparkle:shortVersionString>\n"
                                "</sparkle:shortVersionString>" +
                                kEnclosure))),
              Code::missingVersion);

    const auto byShortVersion = AppcastParser::parse(
        feed(item("<sparkle:shortVersionString>2.1</sparkle:shortVersionString>" + kEnclosure)));
    EXPECT_EQ(byShortVersion.shortVersion, "2.1");
    EXPECT_EQ(byShortVersion.title, std::nullopt);
    const auto byTitle = AppcastParser::parse(feed(item("<title>Brimo 2.1</title>" + kEnclosure)));
    EXPECT_EQ(byTitle.title, "Brimo 2.1");
    EXPECT_EQ(byTitle.shortVersion, std::nullopt);
}

TEST(AppcastParser, ReadsTheLengthAsASigned64BitDecimal) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases{
        {R"(length="+123")", 123},
        {R"(length="-5")", -5},
        {R"(length="0042")", 42},
        {R"(length="9223372036854775807")", std::numeric_limits<int64_t>::max()},
        {R"(length="-9223372036854775808")", std::numeric_limits<int64_t>::min()},
        {R"(length="9223372036854775808")", std::nullopt},
        {R"(length="12a")", std::nullopt},
        {R"(length=" 12")", std::nullopt},
        {R"(length="+")", std::nullopt},
        {R"(length="+-1")", std::nullopt},
        {R"(length="1e3")", std::nullopt},
        {"length=\"\u0661\u0662\"", std::nullopt}, // Arabic-Indic digits
        {R"(length="")", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [attribute, expected] : cases)
        EXPECT_EQ(enclosureLength(attribute), expected) << attribute;
}

TEST(AppcastParser, ReadsTheThreeDateForms) {
    const std::vector<std::pair<std::string, QDateTime>> accepted{
        // Numeric zone.
        {"Tue, 10 Jun 2003 04:00:00 +0000", utc(2003, 6, 10, 4, 0, 0)},
        {"Tue, 10 Jun 2003 06:30:00 +0230", utc(2003, 6, 10, 4, 0, 0)},
        {"Tue, 10 Jun 2003 06:30:00 +02:30", utc(2003, 6, 10, 4, 0, 0)},
        {"Tuesday, 3 June 2003 23:15:07 -0500", utc(2003, 6, 4, 4, 15, 7)},
        {"tue, 03 JUN 2003 4:0:0 Z", utc(2003, 6, 3, 4, 0, 0)},
        {"Sat,  1\tFeb 2025  12:00:00  +0100", utc(2025, 2, 1, 11, 0, 0)},
        // Zone by name.
        {"Tue, 10 Jun 2003 04:00:00 GMT", utc(2003, 6, 10, 4, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 utc", utc(2003, 6, 10, 4, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 UT", utc(2003, 6, 10, 4, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 EST", utc(2003, 6, 10, 9, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 PDT", utc(2003, 6, 10, 11, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 AKST", utc(2003, 6, 10, 13, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 GMT+2", utc(2003, 6, 10, 2, 0, 0)},
        {"Tue, 10 Jun 2003 04:00:00 UTC-05:30", utc(2003, 6, 10, 9, 30, 0)},
        // ISO.
        {"2003-06-10T04:00:00Z", utc(2003, 6, 10, 4, 0, 0)},
        {"2003-06-10T06:00:00+0200", utc(2003, 6, 10, 4, 0, 0)},
        {"2003-06-09T23:00:00-05:00", utc(2003, 6, 10, 4, 0, 0)},
        {"2024-02-29T12:00:00Z", utc(2024, 2, 29, 12, 0, 0)},
    };
    for (const auto& [text, expected] : accepted)
        EXPECT_EQ(publishedAt(text), expected) << text;

    // Unreadable dates leave the date out; the parse still succeeds.
    for (const std::string text : {
             "yesterday",
             "10 Jun 2003 04:00:00 GMT",
             "Tue 10 Jun 2003 04:00:00 GMT",
             "Tue, 10 Jun 03 04:00:00 GMT",
             "Tue, 10 Jun 2003 04:00 GMT",
             "Tue, 10 Jun 2003 04:00:00",
             "Tue, 10 Jun 2003 04:00:00 CEST",
             "Tue, 10 Jun 2003 04:00:00 +0000 (UTC)",
             "Tue, 10 Jun 2003 04:00:00 +2400",
             "Tue, 10 Jun 2003 04:00:00 +000",
             "Tue, 10 Jun 2003 24:00:00 GMT",
             "Tue, 10 Jun 2003 04:60:00 GMT",
             "Tue, 31 Feb 2003 04:00:00 GMT",
             "Tue, 123 Jun 2003 04:00:00 GMT",
             "Tues, 10 Jun 2003 04:00:00 GMT",
             "Tue, 10 Junе 2003 04:00:00 GMT", // Cyrillic "е"
             "2003-06-10T04:00:00",
             "2003-06-10T04:00:00.000Z",
             "2003-06-10 04:00:00Z",
             "2003-13-10T04:00:00Z",
             "2023-02-29T12:00:00Z",
         })
        EXPECT_EQ(publishedAt(text), std::nullopt) << text;
}

// Sets the default locale for the lifetime of the object.
class DefaultLocale {
public:
    explicit DefaultLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(previous_); }
    DefaultLocale(const DefaultLocale&) = delete;
    DefaultLocale& operator=(const DefaultLocale&) = delete;

private:
    QLocale previous_;
};

TEST(AppcastParser, ReadsDatesInEnglishWhateverTheLocale) {
    const DefaultLocale german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(publishedAt("Sat, 1 Mar 2025 10:00:00 +0000"), utc(2025, 3, 1, 10, 0, 0));
    EXPECT_EQ(publishedAt("Saturday, 1 March 2025 10:00:00 GMT"), utc(2025, 3, 1, 10, 0, 0));
    EXPECT_EQ(publishedAt("Sa., 1 März 2025 10:00:00 +0000"), std::nullopt);
    EXPECT_EQ(publishedAt("Samstag, 1 Mär 2025 10:00:00 GMT"), std::nullopt);
}

TEST(AppcastParser, RejectsDocumentsThatAreNotWellFormed) {
    const QByteArray complete =
        feed(item("<title>2.1</title>" + kEnclosure) + item("<title>2.0</title>" + kEnclosure));
    const std::vector<std::pair<const char*, QByteArray>> cases{
        {"empty", QByteArray()},
        {"not XML", QByteArray("Brimo 2.1 https://dl.example.com/Brimo-2.1.dmg")},
        {"truncated inside the first item", complete.left(complete.indexOf("</item>"))},
        // Later items are still scanned: a broken tail fails the whole feed.
        {"truncated after the first item", complete.left(complete.lastIndexOf("</item>"))},
        {"mismatched tags", feed(item("<title>2.1</pubDate>" + kEnclosure))},
        {"undeclared entity", feed(item("<title>2.1&nbsp;</title>" + kEnclosure))},
        {"content after the root", complete + "<rss/>"},
    };
    for (const auto& [label, bytes] : cases) {
        std::string description;
        EXPECT_EQ(failure(bytes, &description), Code::xmlFailed) << label;
        EXPECT_EQ(description, "Failed to parse appcast XML.") << label;
    }
}

TEST(AppcastParser, ExpandsOnlyEntitiesTheDocumentDefinesItself) {
    // Internal definitions are part of the feed and expand; nested ones that explode past the
    // reader's limit fail the feed.
    const auto internal = AppcastParser::parse(
        QByteArray(R"(<!DOCTYPE rss [<!ENTITY version "2.1">]>)"
                   R"(<rss><channel><item><title>Brimo &version;</title>)"
                   R"(<enclosure url="https://x.example/&version;.dmg"/></item></channel></rss>)"));
    EXPECT_EQ(internal.title, "Brimo 2.1");
    EXPECT_EQ(internal.enclosureURL, QUrl("https://x.example/2.1.dmg"));

    std::string laughs = R"(<!DOCTYPE rss [<!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">)";
    for (const char name : {'b', 'c', 'd', 'e', 'f'}) {
        const std::string previous(1, static_cast<char>(name - 1));
        laughs += "<!ENTITY " + std::string(1, name) + " \"";
        for (int copy = 0; copy < 10; ++copy)
            laughs += "&" + previous + ";";
        laughs += "\">";
    }
    laughs += "]><rss><channel>" + item("<title>&f;</title>" + kEnclosure) + "</channel></rss>";
    EXPECT_EQ(failure(QByteArray::fromStdString(laughs)), Code::xmlFailed);
}

// Both of the app's parsers: the mirror race's first item and the update cycle's items.
std::optional<Code> failureOfEither(const QByteArray& bytes, bool items) {
    try {
        items ? (void)AppcastFeed::parse(bytes) : (void)AppcastParser::parse(bytes);
    } catch (const AppcastParseError& error) {
        return error.code();
    }
    return std::nullopt;
}

TEST(AppcastParser, TextPastItsBoundsFailsTheFeedInBothParsers) {
    const auto withVersion = [](const std::string& entities, const std::string& title,
                                const std::string& version) {
        return QByteArray::fromStdString("<!DOCTYPE rss [" + entities + "]><rss><channel>" +
                                         item("<title>" + title + "</title><sparkle:version>" +
                                              version + "</sparkle:version>" + kEnclosure) +
                                         "</channel></rss>");
    };
    const auto repeated = [](const std::string& text, int count) {
        std::string result;
        for (int i = 0; i < count; ++i)
            result += text;
        return result;
    };
    // Each entity stays below the reader's own limit of 4096 characters.
    const std::string big = "<!ENTITY a \"" + std::string(4000, 'x') + "\">";
    const std::string nested =
        "<!ENTITY a \"" + std::string(2000, 'x') + "\"><!ENTITY b \"&a;&a;\">";
    const QByteArray laughs = withVersion(big, repeated("&a;", 2000), "210");
    QStringEncoder utf16(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    const struct {
        const char* label;
        QByteArray feed;
        std::optional<Code> expected;
    } cases[] = {
        {"8 million characters from one entity", laughs, Code::xmlFailed},
        {"the same in UTF-16", utf16(QString::fromLatin1(laughs)), Code::xmlFailed},
        {"a short parameter entity of the same name declared after",
         withVersion(big + "<!ENTITY % a \"x\">", repeated("&a;", 2000), "210"), Code::xmlFailed},
        {"8 million characters from nested entities",
         withVersion(nested, repeated("&b;", 2000), "210"), Code::xmlFailed},
        {"a version at the bound", withVersion(big, "&a;", std::string(4096, '7')), std::nullopt},
        {"a version past the bound", withVersion(big, "&a;", std::string(4097, '7')),
         Code::xmlFailed},
        {"a version past the bound through entities", withVersion(big, "2.1", "&a;&a;"),
         Code::xmlFailed},
    };
    for (const auto& [label, bytes, expected] : cases)
        for (const bool items : {false, true})
            EXPECT_EQ(failureOfEither(bytes, items), expected)
                << label << (items ? " (items)" : "");
}

TEST(AppcastParser, NeverFetchesExternalDefinitions) {
    // A file and a listening socket that a resolving parser would read from.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString secret = folder.filePath("secret.txt");
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("SECRET");
    }
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const std::string remote = "http://127.0.0.1:" + std::to_string(server.serverPort());
    const std::string fileURL = QUrl::fromLocalFile(secret).toString().toStdString();

    const auto parsed = AppcastParser::parse(QByteArray::fromStdString(
        "<!DOCTYPE rss SYSTEM \"" + remote + "/rss.dtd\" [<!ENTITY local SYSTEM \"" + fileURL +
        "\"><!ENTITY remote SYSTEM \"" + remote + "/remote.txt\"><!ENTITY % parameter SYSTEM \"" +
        remote + "/parameter.dtd\"> %parameter;]><rss><channel><title>Brimo&remote;</title>" +
        item("<title>2.1&local;</title><sparkle:version>&undefinedElsewhere;210</sparkle:version>" +
             kEnclosure) +
        "</channel></rss>"));
    // The references add no text: the values are the document's own.
    EXPECT_EQ(parsed.appName, "Brimo");
    EXPECT_EQ(parsed.title, "2.1");
    EXPECT_EQ(parsed.build, "210");
    EXPECT_FALSE(server.waitForNewConnection(0));

    // An external entity may not appear in an attribute value at all.
    EXPECT_EQ(failure(QByteArray::fromStdString(
                  "<!DOCTYPE rss [<!ENTITY local SYSTEM \"" + fileURL +
                  "\">]><rss><channel><item><title>2.1</title><enclosure url=\"https://x.example/"
                  "&local;\"/></item></channel></rss>")),
              Code::xmlFailed);
}

TEST(AppcastParser, ReadsTheFirstItemOfATenMegabyteFeed) {
    std::string items = item(R"(<title>Brimo 9.0</title><sparkle:version>900</sparkle:version>
        <enclosure url="https://dl.example.com/Brimo-9.0.dmg" length="4096"/>)");
    const std::string older =
        item("<title>Brimo 1.0</title><pubDate>Tue, 10 Jun 2003 04:00:00 GMT</pubDate>"
             "<sparkle:version>100</sparkle:version><sparkle:minimumSystemVersion>10.0"
             "</sparkle:minimumSystemVersion><description><![CDATA[" +
             std::string(2000, 'x') + "]]></description>" +
             R"(<enclosure url="https://dl.example.com/Brimo-1.0.dmg" length="1"/>)");
    while (items.size() < 10 * 1024 * 1024)
        items += older;
    const QByteArray bytes = feed(items);
    ASSERT_GE(bytes.size(), 10 * 1024 * 1024);

    const auto parsed = AppcastParser::parse(bytes);
    EXPECT_EQ(parsed.appName, "Brimo");
    EXPECT_EQ(parsed.title, "Brimo 9.0");
    EXPECT_EQ(parsed.build, "900");
    EXPECT_EQ(parsed.publishedAt, std::nullopt);
    EXPECT_EQ(parsed.minimumSystemVersion, std::nullopt);
    EXPECT_EQ(parsed.enclosureURL, QUrl("https://dl.example.com/Brimo-9.0.dmg"));
    EXPECT_EQ(parsed.enclosureLength, 4096);
}

} // namespace
} // namespace brimo::app::updates
