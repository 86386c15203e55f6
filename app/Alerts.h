#pragma once

#include <string>
#include <vector>

// Modal alerts, the way the app talks to the user before any window exists.
namespace brimo::app {

struct Alert {
    std::string messageText;
    std::string informativeText;
    // Left to right; the first is the default. None: a single "OK".
    std::vector<std::string> buttons;
    // Shown on request, e.g. the description of the error the alert reports.
    std::string detailedText;

    bool operator==(const Alert&) const = default;
};

class Alerts {
public:
    virtual ~Alerts() = default;
    // Brings the app in front of the other apps.
    virtual void activateApp() = 0;
    // Shows the alert and returns when the user has dismissed it.
    virtual void runModal(const Alert& alert) = 0;
};

} // namespace brimo::app
