// brimo-sign-update: the publisher's side of signed updates. It makes the signing key pair,
// signs a release archive and writes the feed entries that announce it.
#include "app/updates/UpdateSignature.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>
#include <QUrl>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sodium.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace brimo::app::updates;

constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";
constexpr const char* kArchiveType = "application/gzip";

constexpr const char* kUsage =
    "usage: brimo-sign-update keygen SECRET_KEY_FILE\n"
    "       brimo-sign-update public-key SECRET_KEY_FILE\n"
    "       brimo-sign-update sign ARCHIVE SECRET_KEY_FILE\n"
    "       brimo-sign-update item ARCHIVE SECRET_KEY_FILE --url URL --version BUILD\n"
    "                         --short-version X.Y [--title TITLE] [--date RFC822_DATE]\n"
    "       brimo-sign-update feed [--title TITLE] [ITEM_FILE...]   (stdin without files)\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Positional arguments and "--name value" options, in any order.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;

    Arguments(const std::vector<std::string>& words, const std::vector<std::string>& known) {
        for (size_t i = 0; i < words.size(); ++i) {
            if (!words[i].starts_with("--")) {
                positional.push_back(words[i]);
                continue;
            }
            const std::string name = words[i].substr(2);
            if (std::find(known.begin(), known.end(), name) == known.end())
                throw UsageError("unknown option " + words[i]);
            if (i + 1 == words.size()) throw UsageError(words[i] + " needs a value");
            options[name] = words[++i];
        }
    }

    std::string required(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end() || found->second.empty())
            throw UsageError("--" + name + " is required");
        return found->second;
    }

    std::string optional(const std::string& name, const std::string& fallback) const {
        const auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
};

std::string trimmed(const std::string& text) {
    return QString::fromStdString(text).trimmed().toStdString();
}

std::string readSecretKey(const fs::path& file) {
    std::ifstream stream(file);
    if (!stream) throw std::runtime_error(file.string() + ": " + std::strerror(errno));
    const std::string key = trimmed({std::istreambuf_iterator<char>(stream), {}});
    if (key.empty()) throw std::runtime_error(file.string() + ": no secret key in it");
    return key;
}

// A key pair is made once: an existing file is never overwritten, and the secret is readable by
// its owner alone whatever the umask.
int keygen(const Arguments& arguments) {
    if (arguments.positional.size() != 1) throw UsageError("keygen takes SECRET_KEY_FILE");
    const std::string path = arguments.positional[0];
    const SigningKeyPair pair = generateSigningKeyPair();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    const std::string text = pair.secretKey + "\n";
    const bool written = ::fchmod(fd, 0600) == 0 &&
                         ::write(fd, text.data(), text.size()) == ssize_t(text.size()) &&
                         ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        throw std::runtime_error(path + ": " + std::strerror(error));
    }
    std::cout << pair.publicKey << "\n";
    return 0;
}

// The public half, so that a release build can embed the key that matches the one it signs with.
int publicKey(const Arguments& arguments) {
    if (arguments.positional.size() != 1) throw UsageError("public-key takes SECRET_KEY_FILE");
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(readSecretKey(arguments.positional[0])),
        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != crypto_sign_SECRETKEYBYTES)
        throw std::runtime_error("not an Ed25519 secret key: " + arguments.positional[0]);
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(key,
                                 reinterpret_cast<const unsigned char*>(decoded.decoded.data()));
    std::cout << QByteArray(reinterpret_cast<const char*>(key), sizeof key).toBase64().toStdString()
              << "\n";
    return 0;
}

int sign(const Arguments& arguments) {
    if (arguments.positional.size() != 2) throw UsageError("sign takes ARCHIVE SECRET_KEY_FILE");
    std::cout << signFile(arguments.positional[0], readSecretKey(arguments.positional[1])) << "\n";
    return 0;
}

struct ItemFields {
    std::string title;
    std::string pubDate;
    std::string build;
    std::string shortVersion;
    std::string url;
    uintmax_t length;
    std::string signature;
};

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// The writer escapes attribute values and text; prefixed names are written as they stand (the
// feed declares the prefix).
std::string itemXml(const ItemFields& fields) {
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartElement("item");
    writer.writeTextElement("title", q(fields.title));
    writer.writeTextElement("pubDate", q(fields.pubDate));
    writer.writeTextElement("sparkle:version", q(fields.build));
    writer.writeTextElement("sparkle:shortVersionString", q(fields.shortVersion));
    // The versions also on the enclosure: readers take either form.
    writer.writeEmptyElement("enclosure");
    writer.writeAttribute("url", q(fields.url));
    writer.writeAttribute("length", QString::number(fields.length));
    writer.writeAttribute("type", kArchiveType);
    writer.writeAttribute("sparkle:version", q(fields.build));
    writer.writeAttribute("sparkle:shortVersionString", q(fields.shortVersion));
    writer.writeAttribute("sparkle:edSignature", q(fields.signature));
    writer.writeEndElement();
    return trimmed(xml.toStdString());
}

// The app accepts only https downloads. Characters a URL cannot hold as they are (spaces,
// quotes) are percent-encoded.
std::string enclosureURL(const std::string& text) {
    const QUrl url(q(text));
    if (!url.isValid() || url.scheme().compare("https", Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty())
        throw std::runtime_error("--url must be an https URL: " + text);
    return url.toString(QUrl::FullyEncoded).toStdString();
}

// RFC 822 with the day's name and a numeric zone, in UTC: the form feed readers all take.
std::string publicationDate(const Arguments& arguments) {
    const auto found = arguments.options.find("date");
    QDateTime date = QDateTime::currentDateTimeUtc();
    if (found != arguments.options.end()) {
        date = QDateTime::fromString(q(found->second), Qt::RFC2822Date);
        if (!date.isValid())
            throw std::runtime_error("--date is not an RFC 822 date: " + found->second);
    }
    return QLocale::c()
        .toString(date.toUTC(), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss +0000"))
        .toStdString();
}

int item(const Arguments& arguments) {
    if (arguments.positional.size() != 2) throw UsageError("item takes ARCHIVE SECRET_KEY_FILE");
    const fs::path archive = arguments.positional[0];
    ItemFields fields;
    fields.url = enclosureURL(arguments.required("url"));
    fields.build = arguments.required("version");
    fields.shortVersion = arguments.required("short-version");
    fields.title = arguments.optional("title", "Version " + fields.shortVersion);
    fields.pubDate = publicationDate(arguments);
    fields.signature = signFile(archive, readSecretKey(arguments.positional[1]));
    fields.length = fs::file_size(archive);
    std::cout << itemXml(fields) << "\n";
    return 0;
}

QByteArray readAll(const std::string& path) {
    QFile file(q(path));
    const bool opened =
        path == "-" ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    if (!opened) throw std::runtime_error(path + ": " + file.errorString().toStdString());
    return file.readAll();
}

// Copies the `item` elements of `items` (one or more, as `item` prints them) into the writer,
// so that only well-formed entries reach the feed.
void copyItems(const std::string& source, const QByteArray& items, QXmlStreamWriter& writer) {
    QXmlStreamReader reader("<items>" + items + "</items>");
    reader.setNamespaceProcessing(false);
    int depth = 0;
    int copied = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth == 1) break;
            if (depth == 2 && reader.qualifiedName() != QLatin1String("item"))
                throw std::runtime_error(source + ": not an appcast item: <" +
                                         reader.qualifiedName().toString().toStdString() + ">");
            if (depth == 2) ++copied;
            writer.writeStartElement(reader.qualifiedName().toString());
            for (const auto& attribute : reader.attributes())
                writer.writeAttribute(attribute.qualifiedName().toString(),
                                      attribute.value().toString());
            break;
        case QXmlStreamReader::EndElement:
            if (--depth > 0) writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters:
            if (!reader.isWhitespace()) writer.writeCharacters(reader.text().toString());
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        throw std::runtime_error(source + ": " + reader.errorString().toStdString());
    if (copied == 0) throw std::runtime_error(source + ": no appcast item in it");
}

int feed(const Arguments& arguments) {
    std::vector<std::string> sources = arguments.positional;
    if (sources.empty()) sources.push_back("-");
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeStartElement("rss");
    writer.writeAttribute("version", "2.0");
    writer.writeNamespace(kSparkleNamespace, "sparkle");
    writer.writeStartElement("channel");
    writer.writeTextElement("title", q(arguments.optional("title", "Brimo")));
    for (const auto& source : sources)
        copyItems(source, readAll(source), writer);
    writer.writeEndDocument();
    std::cout << xml.toStdString();
    return 0;
}

int run(const std::vector<std::string>& words) {
    if (words.empty()) throw UsageError("no command");
    const std::string command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (command == "keygen") return keygen(Arguments(rest, {}));
    if (command == "public-key") return publicKey(Arguments(rest, {}));
    if (command == "sign") return sign(Arguments(rest, {}));
    if (command == "item")
        return item(Arguments(rest, {"url", "version", "short-version", "title", "date"}));
    if (command == "feed") return feed(Arguments(rest, {"title"}));
    throw UsageError("unknown command " + command);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "brimo-sign-update: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "brimo-sign-update: " << error.what() << "\n";
        return 1;
    }
}
