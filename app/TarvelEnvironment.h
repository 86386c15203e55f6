#pragma once

#include "app/MainBundle.h"

#include <functional>

// What the window's and the menu's views reach beyond their own state: the shared link state
// and the app's services. Everything referenced lives as long as the app.
namespace brimo::app {

class AppClock;
class DomainSetup;
class Workspace;
class XPCClientState;
namespace updates {
class AppUpdater;
}

struct TarvelEnvironment {
    XPCClientState& state;
    DomainSetup& domain;
    AppClock& clock;
    Workspace& workspace;
    updates::AppUpdater& updater;
    MainBundle bundle;
    // Asks the service to shut down (3 s at most); `done` runs on the main thread afterwards.
    std::function<void(std::function<void()> done)> shutdownService;
    // "Open Brimo…": the app's window in front, opened when there is none.
    std::function<void()> openMainWindow;
    std::function<void()> quit;
};

} // namespace brimo::app
