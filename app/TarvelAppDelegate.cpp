#include "app/TarvelAppDelegate.h"

#include "app/MoveToApplicationsService.h"
#include "shared/Log.h"

#include <QCoreApplication>
#include <QSettings>

namespace brimo::app {

namespace {

// Queued, so that it also ends the app when called before the event loop runs.
void terminateApp() {
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

void logState(const XPCClientState& state) {
    log::appLog.info("state: connected=%s phone=%s drive=%s",
                     state.isConnected() ? "true" : "false",
                     state.hasIOSConnection() ? "true" : "false",
                     state.hasFileProviderConnection() ? "true" : "false");
}

} // namespace

TarvelAppDelegate::TarvelAppDelegate()
    : teardown_(runningApplications_)
    , domainSetup_(workspace_)
    , xpcClient_(XPCClient::create({ipcThread_.executor(), XPCClientState::shared(), teardown_,
                                    clock_, MainBundle::current(), std::nullopt})) {}

TarvelAppDelegate::~TarvelAppDelegate() {
    // The client posts its connection to the IPC loop, which must still run then.
    xpcClient_.reset();
}

void TarvelAppDelegate::applicationWillFinishLaunching() {
    MoveToApplicationsService mover({runningApplications_, workspace_, alerts_,
                                     [this] { xpcClient_->resetServiceBeforeRelocate(); },
                                     terminateApp});
    if (mover.moveToApplicationsIfNeeded()) return;
    if (!canPresent_) {
        canPresent_ = true;
        emit canPresentChanged(true);
    }
}

void TarvelAppDelegate::applicationDidFinishLaunching() {
    if (!canPresent_) return;
    QSettings defaults;
    if (!defaults.value(kDidRegisterLaunchAtLogin, false).toBool()) {
        domainSetup_.registerLoginItem();
        defaults.setValue(kDidRegisterLaunchAtLogin, true);
    }
    auto& state = XPCClientState::shared();
    for (auto signal :
         {&XPCClientState::isConnectedChanged, &XPCClientState::hasIOSConnectionChanged,
          &XPCClientState::hasFileProviderConnectionChanged})
        connect(&state, signal, this, [&state] { logState(state); });
    xpcClient_->startAndVerifyService();
}

} // namespace brimo::app
