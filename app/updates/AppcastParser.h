#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringView>
#include <QUrl>
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

// An appcast element's name without its prefix ("sparkle:version" is "version"), whether or not
// the prefix was declared.
QStringView appcastLocalName(QStringView qualifiedName);

namespace AppcastParser {
// Synchronous, no side effects; throws AppcastParseError. External entities and DTDs are never
// fetched.
AppcastItem parse(const QByteArray& feed);
} // namespace AppcastParser

} // namespace brimo::app::updates
