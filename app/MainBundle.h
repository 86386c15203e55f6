#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The bundle the running app belongs to (Brimo.app), found from its executable.
namespace brimo::app {

class MainBundle {
public:
    // The bundle around /proc/self/exe, or the one a test installed.
    static MainBundle current();
    // Tests run outside any bundle: they name the one the app would run from.
    static void install(std::optional<std::filesystem::path> bundle);

    explicit MainBundle(std::filesystem::path bundle)
        : bundle_(std::move(bundle)) {}

    // The standardised bundle path, e.g. /opt/x/Brimo.app.
    const std::filesystem::path& url() const { return bundle_; }
    std::optional<std::string> infoString(const char* key) const;
    // An executable in Contents/MacOS/ (the app, its helpers).
    std::filesystem::path executable(const std::string& name) const;
    // A bundle inside this one, e.g. Contents/Extensions/Brimofs.appex.
    std::filesystem::path contents() const { return bundle_ / "Contents"; }

private:
    std::filesystem::path bundle_;
};

} // namespace brimo::app
