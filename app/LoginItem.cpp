#include "app/LoginItem.h"

#include <QFile>
#include <QSaveFile>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

namespace brimo::app {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> absoluteFromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return fs::path(value);
}

// Inside a quoted argument these four take a backslash.
bool escapedInQuotes(char c) {
    return c == '"' || c == '`' || c == '$' || c == '\\';
}

// A literal percent sign is always "%%" because a single one starts a field code.
std::string quoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (escapedInQuotes(c)) quoted += '\\';
        quoted += c;
        if (c == '%') quoted += '%';
    }
    return quoted + '"';
}

// The escapes of every string value, applied after the quoting (so a backslash of the quoting
// is written twice).
std::string escapeString(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// Undoes escapeString; a backslash before anything else stays, for the quoting to read.
std::string unescapeString(std::string_view value) {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (value[i + 1]) {
        case 's':
            text += ' ';
            break;
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        case '\\':
            text += '\\';
            break;
        default:
            text += value.substr(i, 2);
        }
        ++i;
    }
    return text;
}

std::string collapsePercents(const std::string& argument) {
    std::string text;
    for (size_t i = 0; i < argument.size(); ++i) {
        text += argument[i];
        if (argument[i] == '%' && i + 1 < argument.size() && argument[i + 1] == '%') ++i;
    }
    return text;
}

// The keys of the [Desktop Entry] group; the first of a repeated key counts.
std::map<std::string, std::string> readDesktopEntry(const fs::path& path) {
    std::map<std::string, std::string> keys;
    std::ifstream file(path);
    std::string line;
    bool inGroup = false;
    while (std::getline(file, line)) {
        if (line.starts_with('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!inGroup || line.starts_with('#') || equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        key.erase(key.find_last_not_of(' ') + 1);
        const size_t valueStart = line.find_first_not_of(' ', equals + 1);
        keys.emplace(std::move(key),
                     valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    return keys;
}

} // namespace

const char* statusName(LoginItemStatus status) {
    return status == LoginItemStatus::enabled ? "enabled" : "notRegistered";
}

std::optional<fs::path> LoginItem::entryPath() {
    if (auto config = absoluteFromEnvironment("XDG_CONFIG_HOME"))
        return *config / "autostart" / kEntryName;
    if (auto home = absoluteFromEnvironment("HOME"))
        return *home / ".config" / "autostart" / kEntryName;
    return std::nullopt;
}

void LoginItem::registerItem() const {
    const auto path = entryPath();
    if (!path) throw LoginItemError("neither XDG_CONFIG_HOME nor HOME is usable");
    std::error_code error;
    fs::create_directories(path->parent_path(), error);
    if (error)
        throw LoginItemError("cannot create " + path->parent_path().string() + ": " +
                             error.message());

    const std::string entry = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Brimo\n"
                              "Exec=" +
                              desktopExecValue({executable().string()}) +
                              "\n"
                              "X-GNOME-Autostart-enabled=true\n";
    QSaveFile file(QFile::decodeName(path->c_str()));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(entry.data(), qint64(entry.size())) != qint64(entry.size()) || !file.commit())
        throw LoginItemError("cannot write " + path->string() + ": " +
                             file.errorString().toStdString());
}

void LoginItem::unregisterItem() const {
    const auto path = entryPath();
    if (!path) throw LoginItemError("neither XDG_CONFIG_HOME nor HOME is usable");
    std::error_code error;
    const bool removed = fs::remove(*path, error);
    if (error) throw LoginItemError("cannot remove " + path->string() + ": " + error.message());
    if (!removed) throw LoginItemError("the login item is not registered");
}

LoginItemStatus LoginItem::status() const {
    const auto path = entryPath();
    if (!path) return LoginItemStatus::notRegistered;
    const auto keys = readDesktopEntry(*path);
    const auto value = [&keys](const char* key) {
        const auto found = keys.find(key);
        return found == keys.end() ? std::string() : found->second;
    };
    // Desktops switch an entry off with Hidden=true (the standard way) or, in GNOME's own
    // settings, X-GNOME-Autostart-enabled=false.
    if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false")
        return LoginItemStatus::notRegistered;
    const auto arguments = parseDesktopExec(value("Exec"));
    if (!arguments || arguments->empty() ||
        fs::path(arguments->front()).lexically_normal() != executable())
        return LoginItemStatus::notRegistered;
    return LoginItemStatus::enabled;
}

fs::path LoginItem::executable() const {
    return bundle_.executable("Brimo").lexically_normal();
}

std::string desktopExecValue(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) line += ' ';
        line += quoteArgument(argument);
    }
    return escapeString(line);
}

std::optional<std::vector<std::string>> parseDesktopExec(std::string_view value) {
    const std::string line = unescapeString(value);
    std::vector<std::string> arguments;
    size_t i = 0;
    while (true) {
        i = line.find_first_not_of(' ', i);
        if (i == std::string::npos) break;
        std::string argument;
        if (line[i] == '"') {
            bool closed = false;
            for (++i; i < line.size(); ++i) {
                if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size() && escapedInQuotes(line[i + 1])) ++i;
                argument += line[i];
            }
            if (!closed) return std::nullopt;
        } else {
            const size_t end = std::min(line.find(' ', i), line.size());
            argument = line.substr(i, end - i);
            i = end;
        }
        arguments.push_back(collapsePercents(argument));
    }
    return arguments;
}

} // namespace brimo::app
