#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringView>
#include <QUrl>
#include <QXmlStreamReader>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// The first item of an update feed (RSS 2.0 in the appcast dialect): what picking a download
// mirror needs of it, and no more.
namespace brimo::app::updates {

struct AppcastItem {
    std::optional<std::string> appName;
    std::optional<std::string> title;
    std::optional<std::string> shortVersion;
    std::optional<std::string> build;
    std::optional<QDateTime> publishedAt;
    std::optional<std::string> minimumSystemVersion;
    std::optional<std::string> hardwareRequirements;
    QUrl enclosureURL;
    std::optional<int64_t> enclosureLength;
};

enum class AppcastParseErrorCode {
    invalidEnclosureURL,
    xmlFailed,
    missingEnclosure,
    missingVersion
};

// what() is the error's description, e.g. "Appcast has no enclosure URL."
class AppcastParseError : public std::runtime_error {
public:
    AppcastParseError(AppcastParseErrorCode code, const std::string& enclosureURL = {});
    AppcastParseErrorCode code() const { return code_; }

private:
    AppcastParseErrorCode code_;
};

// The largest feed body the app reads. A genuine feed is a few kilobytes; 4 MiB holds thousands
// of releases, while a mirror that sends more is broken or hostile.
inline constexpr qsizetype kMaxFeedBytes = 4 * 1024 * 1024;
// The most text a parser keeps of one element (titles, versions, dates, signatures). A real value
// is under a hundred characters (a signature is 88); more means the feed is not one we can use.
inline constexpr qsizetype kMaxElementCharacters = 4096;

// The reader expands a feed's internal entities into one run of text before handing it over,
// and its own limit applies to each entity, not to the whole feed: throws AppcastParseError
// (xmlFailed) unless all references to the declared entities together expand to at most
// kMaxFeedBytes characters. Called on the reader's DTD token, before any content is read.
void checkEntityExpansion(const QByteArray& feed, const QXmlStreamReader& reader);

// An appcast element's name without its prefix ("sparkle:version" is "version"), whether or not
// the prefix was declared.
QStringView appcastLocalName(QStringView qualifiedName);

namespace AppcastParser {
// Synchronous, no side effects; throws AppcastParseError. External entities and DTDs are never
// fetched; a tracked element's text over kMaxElementCharacters, or entities that expand past the
// bound of checkEntityExpansion, fail the feed (xmlFailed).
AppcastItem parse(const QByteArray& feed);
} // namespace AppcastParser

} // namespace brimo::app::updates
