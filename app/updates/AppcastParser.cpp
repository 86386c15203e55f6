#include "app/updates/AppcastParser.h"

#include "shared/Decimal.h"

#include <QHash>
#include <QLatin1String>
#include <QSet>
#include <QString>
#include <QStringDecoder>
#include <QStringView>
#include <QXmlStreamReader>
#include <algorithm>
#include <array>
#include <string_view>

namespace brimo::app::updates {

namespace {

std::string describe(AppcastParseErrorCode code, const std::string& enclosureURL) {
    switch (code) {
    case AppcastParseErrorCode::invalidEnclosureURL:
        return "Invalid enclosure URL: " + enclosureURL;
    case AppcastParseErrorCode::xmlFailed:
        return "Failed to parse appcast XML.";
    case AppcastParseErrorCode::missingEnclosure:
        return "Appcast has no enclosure URL.";
    case AppcastParseErrorCode::missingVersion:
        return "Appcast item has no version.";
    }
    return {};
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Reads a date that follows one fixed pattern from its first character to its last. Names are
// English and digits ASCII whatever the process locale, as for a POSIX-locale formatter.
class DateScanner {
public:
    explicit DateScanner(QStringView text)
        : rest_(text) {}

    bool atEnd() const { return rest_.isEmpty(); }

    bool literal(QStringView expected, Qt::CaseSensitivity cs = Qt::CaseSensitive) {
        if (!rest_.startsWith(expected, cs)) return false;
        rest_ = rest_.sliced(expected.size());
        return true;
    }

    // A space of the pattern stands for a run of spaces or tabs.
    bool spaces() {
        qsizetype count = 0;
        while (count < rest_.size() && (rest_[count] == u' ' || rest_[count] == u'\t'))
            ++count;
        rest_ = rest_.sliced(count);
        return count > 0;
    }

    // Between `minDigits` and `maxDigits` digits, not followed by another digit.
    std::optional<int> number(int minDigits, int maxDigits) {
        const qsizetype count = digitRun();
        if (count < minDigits || count > maxDigits) return std::nullopt;
        return take(count);
    }

    // One of twelve or seven English names, in full or by its first three letters, in any case;
    // gives the name's index.
    template <size_t N> std::optional<int> name(const std::array<QStringView, N>& names) {
        for (const bool full : {true, false})
            for (size_t index = 0; index < N; ++index) {
                const QStringView candidate = full ? names[index] : names[index].first(3);
                if (literal(candidate, Qt::CaseInsensitive)) return static_cast<int>(index);
            }
        return std::nullopt;
    }

    // A numeric zone: "Z", or a sign and "hhmm" or "hh:mm"; gives seconds ahead of GMT.
    std::optional<int> numericZone() {
        if (literal(u"Z", Qt::CaseInsensitive)) return 0;
        return offset(false);
    }

    // A zone by name: GMT, UTC or UT, alone or followed by an offset ("GMT+2", "UTC-05:00"), or
    // one of the US zone abbreviations; gives seconds ahead of GMT.
    std::optional<int> namedZone() {
        static constexpr std::pair<QStringView, int> abbreviations[] = {
            {u"EST", -5},  {u"EDT", -4}, {u"CST", -6}, {u"CDT", -5},  {u"MST", -7},
            {u"MDT", -6},  {u"PST", -8}, {u"PDT", -7}, {u"AKST", -9}, {u"AKDT", -8},
            {u"HST", -10}, {u"HDT", -9}, {u"AST", -4}, {u"ADT", -3}};
        for (const QStringView gmt : {u"GMT", u"UTC", u"UT"})
            if (literal(gmt, Qt::CaseInsensitive)) return atEnd() ? 0 : offset(true);
        for (const auto& [abbreviation, hours] : abbreviations)
            if (rest_.compare(abbreviation, Qt::CaseInsensitive) == 0) {
                rest_ = {};
                return hours * 3600;
            }
        return std::nullopt;
    }

private:
    qsizetype digitRun() const {
        qsizetype count = 0;
        while (count < rest_.size() && isAsciiDigit(rest_[count]))
            ++count;
        return count;
    }

    int take(qsizetype count) {
        int value = 0;
        for (qsizetype index = 0; index < count; ++index)
            value = value * 10 + (rest_[index].unicode() - u'0');
        rest_ = rest_.sliced(count);
        return value;
    }

    // A sign, then "hhmm" or "hh:mm"; with `shortHours` also "h", "hh" and "h:mm".
    std::optional<int> offset(bool shortHours) {
        int sign = 1;
        if (literal(u"-"))
            sign = -1;
        else if (!literal(u"+"))
            return std::nullopt;
        const qsizetype count = digitRun();
        int hours = 0;
        int minutes = 0;
        if (count == 4) {
            hours = take(2);
            minutes = take(2);
        } else if (count == 2 || (shortHours && count == 1)) {
            hours = take(count);
            if (literal(u":")) {
                if (digitRun() != 2) return std::nullopt;
                minutes = take(2);
            } else if (!shortHours) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        if (hours > 23 || minutes > 59) return std::nullopt;
        return sign * (hours * 3600 + minutes * 60);
    }

    QStringView rest_;
};

constexpr std::array<QStringView, 7> weekdays{u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                              u"Thursday", u"Friday", u"Saturday"};
constexpr std::array<QStringView, 12> months{u"January",   u"February", u"March",    u"April",
                                             u"May",       u"June",     u"July",     u"August",
                                             u"September", u"October",  u"November", u"December"};

// The instant of a wall-clock reading at `offsetSeconds` ahead of GMT; none for a day or time
// that does not exist.
std::optional<QDateTime> instant(int year, int month, int day, int hour, int minute, int second,
                                 int offsetSeconds) {
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid()) return std::nullopt;
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
}

// "EEE, d MMM yyyy HH:mm:ss" followed by a zone. The day name is read but not checked against
// the date.
std::optional<QDateTime> rfc822Date(QStringView text, std::optional<int> (DateScanner::*zone)()) {
    DateScanner scan(text);
    if (!scan.name(weekdays) || !scan.literal(u",") || !scan.spaces()) return std::nullopt;
    const auto day = scan.number(1, 2);
    if (!day || !scan.spaces()) return std::nullopt;
    const auto month = scan.name(months);
    if (!month || !scan.spaces()) return std::nullopt;
    const auto year = scan.number(4, 4);
    if (!year || !scan.spaces()) return std::nullopt;
    const auto hour = scan.number(1, 2);
    if (!hour || !scan.literal(u":")) return std::nullopt;
    const auto minute = scan.number(1, 2);
    if (!minute || !scan.literal(u":")) return std::nullopt;
    const auto second = scan.number(1, 2);
    if (!second || !scan.spaces()) return std::nullopt;
    const auto offset = (scan.*zone)();
    if (!offset || !scan.atEnd()) return std::nullopt;
    return instant(*year, *month + 1, *day, *hour, *minute, *second, *offset);
}

// "yyyy-MM-dd'T'HH:mm:ssZ".
std::optional<QDateTime> isoDate(QStringView text) {
    DateScanner scan(text);
    const auto year = scan.number(4, 4);
    if (!year || !scan.literal(u"-")) return std::nullopt;
    const auto month = scan.number(1, 2);
    if (!month || !scan.literal(u"-")) return std::nullopt;
    const auto day = scan.number(1, 2);
    if (!day || !scan.literal(u"T")) return std::nullopt;
    const auto hour = scan.number(1, 2);
    if (!hour || !scan.literal(u":")) return std::nullopt;
    const auto minute = scan.number(1, 2);
    if (!minute || !scan.literal(u":")) return std::nullopt;
    const auto second = scan.number(1, 2);
    if (!second) return std::nullopt;
    const auto offset = scan.numericZone();
    if (!offset || !scan.atEnd()) return std::nullopt;
    return instant(*year, *month, *day, *hour, *minute, *second, *offset);
}

// The first of the feed's three date forms that reads the text; none when none does.
std::optional<QDateTime> parsePublicationDate(const std::optional<QString>& text) {
    const QString trimmed = text.value_or(QString()).trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    if (auto date = rfc822Date(trimmed, &DateScanner::numericZone)) return date;
    if (auto date = rfc822Date(trimmed, &DateScanner::namedZone)) return date;
    return isoDate(trimmed);
}

// Collects the channel's title and the first item's fields from the reader's events, and nothing
// after the first item ends.
class ItemParserDelegate {
public:
    std::optional<QString> channelTitle;
    std::optional<QString> itemTitle;
    std::optional<QString> shortVersion;
    std::optional<QString> build;
    std::optional<QString> pubDate;
    std::optional<QString> minimumSystemVersion;
    std::optional<QString> hardwareRequirements;
    std::optional<QString> enclosureURL;
    std::optional<int64_t> enclosureLength;

    void didStartElement(QStringView name, const QXmlStreamAttributes& attributes) {
        if (finishedFirstItem) return;
        if (name == u"channel") {
            inChannel = true;
        } else if (name == u"item") {
            if (inChannel) inItem = true;
        } else if (name == u"enclosure" && inItem && !enclosureURL) {
            if (attributes.hasAttribute(QLatin1String("url")))
                enclosureURL = attributes.value(QLatin1String("url")).toString();
            const QStringView length = attributes.value(QLatin1String("length"));
            if (!length.isEmpty())
                enclosureLength = parseSignedDecimal(length.toString().toStdString());
        }
        if (isTracked(name)) {
            currentElement = name.toString();
            currentText.clear();
        }
    }

    void foundCharacters(QStringView text) {
        if (finishedFirstItem || !currentElement) return;
        if (currentText.size() + text.size() > kMaxElementCharacters)
            throw AppcastParseError(AppcastParseErrorCode::xmlFailed);
        currentText += text;
    }

    void didEndElement(QStringView name) {
        if (finishedFirstItem) return;
        if (currentElement && name == *currentElement) {
            const QString value = currentText.trimmed();
            if (!value.isEmpty()) store(name, value);
            currentElement.reset();
            currentText.clear();
        }
        if (name == u"item") {
            inItem = false;
            finishedFirstItem = true;
        }
    }

private:
    bool inChannel = false;
    bool inItem = false;
    bool finishedFirstItem = false;
    std::optional<QString> currentElement;
    QString currentText;

    bool isTracked(QStringView name) const {
        if (inItem)
            return name == u"title" || name == u"pubDate" || name == u"version" ||
                   name == u"shortVersionString" || name == u"minimumSystemVersion" ||
                   name == u"hardwareRequirements";
        return inChannel && name == u"title";
    }

    std::optional<QString>* field(QStringView name) {
        if (!inItem) return name == u"title" ? &channelTitle : nullptr;
        if (name == u"title") return &itemTitle;
        if (name == u"pubDate") return &pubDate;
        if (name == u"version") return &build;
        if (name == u"shortVersionString") return &shortVersion;
        if (name == u"minimumSystemVersion") return &minimumSystemVersion;
        if (name == u"hardwareRequirements") return &hardwareRequirements;
        return nullptr;
    }

    // The first occurrence of an element wins.
    void store(QStringView name, const QString& value) {
        auto* target = field(name);
        if (target && !*target) *target = value;
    }
};

QStringView elementName(const QXmlStreamReader& reader) {
    const QStringView name = reader.qualifiedName();
    return appcastLocalName(name.isEmpty() ? reader.name() : name);
}

std::optional<std::string> trimmedText(const std::optional<QString>& text) {
    if (!text) return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    return trimmed.toStdString();
}

// What references to a feed's internal entities expand to, counted without expanding them.
class EntityExpansion {
public:
    explicit EntityExpansion(const QXmlStreamEntityDeclarations& declarations) {
        // External entities are never fetched and add nothing. Parameter entities come in the same
        // list under the same names, so a name counts as its longest value.
        for (const QXmlStreamEntityDeclaration& declaration : declarations)
            if (declaration.systemId().isEmpty() && declaration.publicId().isEmpty())
                values_[declaration.name().toString()].append(declaration.value().toString());
    }

    bool isEmpty() const { return values_.isEmpty(); }

    // The characters all references to declared entities in `text` expand to; with `countText`
    // also the rest of the text. Counting stops once past the bound.
    qint64 expanded(QStringView text, bool countText, int depth = 0) {
        qint64 total = 0;
        for (qsizetype i = 0; i < text.size() && total <= kBound; ++i) {
            if (text[i] == u'&') {
                // Names end at a delimiter, so each character is looked at once.
                qsizetype end = i + 1;
                while (end < text.size() && !isDelimiter(text[end]))
                    ++end;
                if (end < text.size() && text[end] == u';') {
                    const QString name = text.sliced(i + 1, end - i - 1).toString();
                    if (values_.contains(name)) {
                        total += length(name, depth);
                        i = end;
                        continue;
                    }
                    if (isPredefined(name)) {
                        total += countText ? 1 : 0;
                        i = end;
                        continue;
                    }
                }
            }
            if (countText) ++total;
        }
        return total;
    }

    static constexpr qint64 kBound = kMaxFeedBytes;

private:
    // Deeper nesting or a loop counts as past the bound: the reader refuses loops anyway.
    static constexpr int kMaxDepth = 32;

    static bool isDelimiter(QChar c) {
        return c == u';' || c == u'&' || c == u'<' || c == u'>' || c == u'"' || c == u'\'' ||
               c.isSpace();
    }
    static bool isPredefined(const QString& name) {
        return name == u"lt" || name == u"gt" || name == u"amp" || name == u"apos" ||
               name == u"quot";
    }

    qint64 length(const QString& name, int depth) {
        if (const auto known = lengths_.constFind(name); known != lengths_.cend()) return *known;
        if (depth >= kMaxDepth || open_.contains(name)) return kBound + 1;
        open_.insert(name);
        qint64 result = 0;
        for (const QString& value : values_.value(name))
            result = std::max(result, std::min(expanded(value, true, depth + 1), kBound + 1));
        open_.remove(name);
        lengths_.insert(name, result);
        return result;
    }

    QHash<QString, QStringList> values_;
    QHash<QString, qint64> lengths_;
    QSet<QString> open_;
};

} // namespace

void checkEntityExpansion(const QByteArray& feed, const QXmlStreamReader& reader) {
    EntityExpansion expansion(reader.entityDeclarations());
    if (expansion.isEmpty()) return;
    // The references are counted in the feed's text as the reader decodes it.
    const auto detected = QStringConverter::encodingForData(feed, u'<');
    const QString declared = reader.documentEncoding().toString();
    QStringDecoder decoder = detected             ? QStringDecoder(*detected)
                             : declared.isEmpty() ? QStringDecoder(QStringConverter::Utf8)
                                                  : QStringDecoder(declared.toLatin1().constData());
    if (!decoder.isValid()) throw AppcastParseError(AppcastParseErrorCode::xmlFailed);
    const QString text = decoder(feed);
    if (expansion.expanded(text, false) > EntityExpansion::kBound)
        throw AppcastParseError(AppcastParseErrorCode::xmlFailed);
}

QStringView appcastLocalName(QStringView qualifiedName) {
    const qsizetype colon = qualifiedName.indexOf(u':');
    return colon < 0 ? qualifiedName : qualifiedName.sliced(colon + 1);
}

AppcastParseError::AppcastParseError(AppcastParseErrorCode code, const std::string& enclosureURL)
    : std::runtime_error(describe(code, enclosureURL))
    , code_(code) {}

AppcastItem AppcastParser::parse(const QByteArray& feed) {
    // QXmlStreamReader never fetches a DTD or an external entity: a reference to one adds no
    // text. Prefixes are kept in the names rather than resolved, so an undeclared prefix is no
    // error.
    QXmlStreamReader reader(feed);
    reader.setNamespaceProcessing(false);
    ItemParserDelegate delegate;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            delegate.didStartElement(elementName(reader), reader.attributes());
            break;
        case QXmlStreamReader::EndElement:
            delegate.didEndElement(elementName(reader));
            break;
        case QXmlStreamReader::Characters:
            delegate.foundCharacters(reader.text());
            break;
        case QXmlStreamReader::DTD:
            checkEntityExpansion(feed, reader);
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) throw AppcastParseError(AppcastParseErrorCode::xmlFailed);

    if (!delegate.enclosureURL || delegate.enclosureURL->isEmpty())
        throw AppcastParseError(AppcastParseErrorCode::missingEnclosure);
    const QUrl url(*delegate.enclosureURL, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(u"https", Qt::CaseInsensitive) != 0)
        throw AppcastParseError(AppcastParseErrorCode::invalidEnclosureURL,
                                delegate.enclosureURL->toStdString());

    AppcastItem item;
    item.appName = trimmedText(delegate.channelTitle);
    item.title = trimmedText(delegate.itemTitle);
    item.shortVersion = trimmedText(delegate.shortVersion);
    item.build = trimmedText(delegate.build);
    item.publishedAt = parsePublicationDate(delegate.pubDate);
    item.minimumSystemVersion = trimmedText(delegate.minimumSystemVersion);
    item.hardwareRequirements = trimmedText(delegate.hardwareRequirements);
    item.enclosureURL = url;
    item.enclosureLength = delegate.enclosureLength;

    // The build number alone does not name a version.
    if (!item.shortVersion && !item.title)
        throw AppcastParseError(AppcastParseErrorCode::missingVersion);
    return item;
}

} // namespace brimo::app::updates
