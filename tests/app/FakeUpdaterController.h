#pragma once

#include "app/updates/UpdaterController.h"

#include <optional>
#include <string>

namespace brimo::test {

// The framework's controller as the updater drives it; it reads the feed when it starts.
class FakeUpdaterController final : public app::updates::UpdaterController {
public:
    FakeUpdaterController(app::updates::UpdaterDelegateProtocol& delegate, bool canCheck)
        : delegate(delegate)
        , canCheck(canCheck) {}

    void startUpdater() override {
        ++starts;
        if (startFailure) throw app::updates::UpdaterStartError(*startFailure);
        feedAtStart = delegate.feedURLString();
    }
    void checkForUpdatesInBackground() override { ++backgroundChecks; }
    void checkForUpdates() override { ++userChecks; }
    bool canCheckForUpdates() const override { return canCheck; }

    void setCanCheck(bool value) {
        canCheck = value;
        emit canCheckForUpdatesChanged(value);
    }

    app::updates::UpdaterDelegateProtocol& delegate;
    bool canCheck;
    std::optional<std::string> startFailure;
    std::optional<QString> feedAtStart;
    int starts = 0;
    int backgroundChecks = 0;
    int userChecks = 0;
};

} // namespace brimo::test
