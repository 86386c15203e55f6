#pragma once

#include "app/AppClock.h"
#include "app/AppInstance.h"
#include "app/AppLifecycleTeardown.h"
#include "app/DomainSetup.h"
#include "app/IpcThread.h"
#include "app/MessageBoxAlerts.h"
#include "app/RunningApplications.h"
#include "app/Workspace.h"
#include "app/XPCClient.h"
#include "app/updates/AppUpdater.h"
#include "app/updates/MessageBoxUpdatePrompt.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QSettings>
#include <functional>
#include <memory>

// The app's start-up: the relocation check and the hand-over to a running copy, then, for a copy
// that stays, the login item (once), the link to the service and the updater. Main thread only.
namespace brimo::app {

class TarvelAppDelegate : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canPresent READ canPresent NOTIFY canPresentChanged)

public:
    static constexpr const char* kDidRegisterLaunchAtLogin = "Tarvel.didRegisterLaunchAtLogin";

    TarvelAppDelegate();
    ~TarvelAppDelegate() override;

    // True once start-up has decided that this copy stays running; never set back.
    bool canPresent() const { return canPresent_; }

    // Runs the move to the Applications folder, then hands over to a copy already running; a
    // copy that stays may present itself, and from then on brings up its window (`reopen`)
    // when the app is launched again.
    void applicationWillFinishLaunching(std::function<void()> reopen = {});
    // Only for a copy that stays: the login item once, then the service's start-up sequence and
    // the updater's start, side by side.
    void applicationDidFinishLaunching();

    XPCClient& xpcClient() { return *xpcClient_; }
    DomainSetup& domainSetup() { return domainSetup_; }
    updates::AppUpdater& updater() { return updater_; }
    AppClock& clock() { return clock_; }
    Workspace& workspace() { return workspace_; }

signals:
    void canPresentChanged(bool value);

private:
    ProcRunningApplications runningApplications_;
    DesktopWorkspace workspace_;
    MessageBoxAlerts alerts_;
    QtAppClock clock_;
    AppLifecycleTeardown teardown_;
    DomainSetup domainSetup_;
    IpcThread ipcThread_;
    std::shared_ptr<XPCClient> xpcClient_;
    QSettings defaults_;
    QNetworkAccessManager network_;
    updates::MessageBoxUpdatePrompt updatePrompt_;
    updates::AppUpdater updater_;
    AppInstance instance_;
    bool canPresent_ = false;
};

} // namespace brimo::app
