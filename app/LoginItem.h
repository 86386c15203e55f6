#pragma once

#include "app/MainBundle.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The app as a login item: an XDG autostart entry that starts the bundle's executable when the
// user's desktop session starts.
namespace brimo::app {

enum class LoginItemStatus {
    notRegistered, // no entry, one for another copy of the app, or one the user switched off
    enabled,       // the entry starts this bundle's app
};

// "notRegistered", "enabled".
const char* statusName(LoginItemStatus status);

// what() is the description that the log shows.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LoginItem {
public:
    static constexpr const char* kEntryName = "Ozm.Tarvel.Mac.desktop";

    explicit LoginItem(MainBundle bundle = MainBundle::current())
        : bundle_(std::move(bundle)) {}

    // ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/Ozm.Tarvel.Mac.desktop, where only absolute
    // values count; none when neither variable is usable.
    static std::optional<std::filesystem::path> entryPath();

    // Writes the entry (replacing any earlier one) through a temporary file and a rename, so
    // that the session never reads half an entry. Throws LoginItemError.
    void registerItem() const;
    // Removes the entry, whichever copy of the app it starts. Like the system's own login
    // items, unregistering what is not registered fails: throws LoginItemError when there is
    // no entry.
    void unregisterItem() const;
    LoginItemStatus status() const;

private:
    std::filesystem::path executable() const;

    MainBundle bundle_;
};

// The Exec value, as written in the file, that runs `arguments`: each argument quoted, then the
// string escapes of desktop entries applied on top.
std::string desktopExecValue(const std::vector<std::string>& arguments);
// The arguments of an Exec value as written in the file; none when a quote is left open.
// Field codes other than "%%" are kept as they are.
std::optional<std::vector<std::string>> parseDesktopExec(std::string_view value);

} // namespace brimo::app
