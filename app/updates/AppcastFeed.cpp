#include "app/updates/AppcastFeed.h"

#include "app/updates/AppcastParser.h"
#include "shared/Decimal.h"

#include <QStringView>
#include <QXmlStreamReader>
#include <optional>

namespace brimo::app::updates {

namespace {

QStringView elementName(const QXmlStreamReader& reader) {
    const QStringView name = reader.qualifiedName();
    return appcastLocalName(name.isEmpty() ? reader.name() : name);
}

// An enclosure attribute by its local name: "sparkle:version" is found as "version".
std::optional<QString> attribute(const QXmlStreamAttributes& attributes, QStringView name) {
    for (const QXmlStreamAttribute& attribute : attributes) {
        QStringView qualified = attribute.qualifiedName();
        if (appcastLocalName(qualified.isEmpty() ? attribute.name() : qualified) == name) {
            const QString value = attribute.value().trimmed().toString();
            if (!value.isEmpty()) return value;
        }
    }
    return std::nullopt;
}

// One item's fields; elements win over the enclosure's attributes, the first occurrence wins.
struct ItemFields {
    std::optional<QString> version;
    std::optional<QString> shortVersion;
    std::optional<QString> edSignature;
    std::optional<QString> url;
    std::optional<QString> length;
    bool sawEnclosure = false;
    std::optional<QString> enclosureVersion;
    std::optional<QString> enclosureShortVersion;

    std::optional<QString>* element(QStringView name) {
        if (name == u"version") return &version;
        if (name == u"shortVersionString") return &shortVersion;
        if (name == u"edSignature") return &edSignature;
        return nullptr;
    }

    void enclosure(const QXmlStreamAttributes& attributes) {
        if (sawEnclosure) return;
        sawEnclosure = true;
        url = attribute(attributes, u"url");
        length = attribute(attributes, u"length");
        enclosureVersion = attribute(attributes, u"version");
        enclosureShortVersion = attribute(attributes, u"shortVersionString");
        if (!edSignature) edSignature = attribute(attributes, u"edSignature");
    }

    std::optional<UpdateItem> item() const {
        const auto build = version ? version : enclosureVersion;
        if (!build || !url) return std::nullopt;
        const QUrl download(*url, QUrl::StrictMode);
        if (!download.isValid() || download.scheme().compare(u"https", Qt::CaseInsensitive) != 0)
            return std::nullopt;
        const auto display = shortVersion ? shortVersion : enclosureShortVersion;
        UpdateItem result;
        result.version = build->toStdString();
        result.displayVersion = display.value_or(*build).toStdString();
        result.url = download;
        if (length) {
            const auto bytes = parseSignedDecimal(length->toStdString());
            if (bytes && *bytes >= 0) result.length = bytes;
        }
        result.edSignature = edSignature.value_or(QString()).toStdString();
        return result;
    }
};

} // namespace

std::vector<UpdateItem> AppcastFeed::parse(const QByteArray& feed) {
    QXmlStreamReader reader(feed);
    reader.setNamespaceProcessing(false);
    std::vector<UpdateItem> items;
    bool inChannel = false;
    std::optional<ItemFields> item;
    std::optional<QString>* collecting = nullptr;
    QString text;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QStringView name = elementName(reader);
            if (name == u"channel") {
                inChannel = true;
            } else if (name == u"item" && inChannel && !item) {
                item.emplace();
            } else if (item && name == u"enclosure") {
                item->enclosure(reader.attributes());
            } else if (item && !collecting) {
                collecting = item->element(name);
                text.clear();
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (!collecting) break;
            if (text.size() + reader.text().size() > kMaxElementCharacters)
                throw AppcastParseError(AppcastParseErrorCode::xmlFailed);
            text += reader.text();
            break;
        case QXmlStreamReader::DTD:
            checkEntityExpansion(feed, reader);
            break;
        case QXmlStreamReader::EndElement: {
            const QStringView name = elementName(reader);
            if (collecting && item && collecting == item->element(name)) {
                const QString value = text.trimmed();
                if (!value.isEmpty() && !*collecting) *collecting = value;
                collecting = nullptr;
            } else if (name == u"item" && item) {
                if (auto usable = item->item()) items.push_back(std::move(*usable));
                item.reset();
                collecting = nullptr;
            } else if (name == u"channel") {
                inChannel = false;
            }
            break;
        }
        default:
            break;
        }
    }
    if (reader.hasError()) throw AppcastParseError(AppcastParseErrorCode::xmlFailed);
    return items;
}

} // namespace brimo::app::updates
