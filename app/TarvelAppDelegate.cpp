#include "app/TarvelAppDelegate.h"

#include "app/MoveToApplicationsService.h"
#include "app/updates/BundleUpdater.h"
#include "shared/Log.h"

#include <QCoreApplication>
#include <QSettings>

namespace brimo::app {

namespace {

// How long a copy that is starting may take until it serves later launches.
constexpr std::chrono::milliseconds kStartingCopyWait{5000};

// Queued, so that it also ends the app when called before the event loop runs.
void terminateApp() {
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

// The update framework of a running bundle: it replaces this bundle and relaunches it.
std::unique_ptr<updates::UpdaterController>
makeBundleUpdater(updates::UpdaterDelegateProtocol& delegate, QNetworkAccessManager& network,
                  updates::UpdatePrompt& prompt, QSettings& defaults) {
    const MainBundle bundle = MainBundle::current();
    return std::make_unique<updates::BundleUpdater>(updates::BundleUpdater::Options{
        .network = network,
        .delegate = delegate,
        .prompt = prompt,
        .defaults = defaults,
        .bundle = bundle.url(),
        .bundleVersion = bundle.infoString("CFBundleVersion").value_or(""),
        .bundleDisplayVersion = bundle.infoString("CFBundleShortVersionString").value_or(""),
        .publicKey = bundle.infoString(updates::kPublicKeyInfoKey).value_or(""),
        .terminate = terminateApp,
    });
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
                                    clock_, MainBundle::current(), std::nullopt}))
    , updater_({.makeController =
                    [this](updates::UpdaterDelegateProtocol& delegate) {
                        return makeBundleUpdater(delegate, network_, updatePrompt_, defaults_);
                    },
                .network = network_,
                .defaults = defaults_}) {}

TarvelAppDelegate::~TarvelAppDelegate() {
    // The client posts its connection to the IPC loop, which must still run then.
    xpcClient_.reset();
}

void TarvelAppDelegate::applicationWillFinishLaunching(std::function<void()> reopen) {
    MoveToApplicationsService mover({runningApplications_, workspace_, alerts_,
                                     [this] { xpcClient_->resetServiceBeforeRelocate(); },
                                     terminateApp});
    if (mover.moveToApplicationsIfNeeded()) return;
    if (instance_.activateRunningCopy()) {
        log::appLog.info("Brimo is already running; showing its window");
        terminateApp();
        return;
    }
    if (!instance_.claim()) {
        // Another copy is starting at this moment: it answers once it serves.
        if (instance_.activateRunningCopy(kStartingCopyWait))
            log::appLog.info("Brimo is already running; showing its window");
        else
            log::appLog.info("another copy of Brimo is starting; this one ends");
        terminateApp();
        return;
    }
    instance_.serve(std::move(reopen));
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
    connect(&state, &XPCClientState::changed, this, [&state] { logState(state); });
    xpcClient_->startAndVerifyService();
    updater_.start();
}

} // namespace brimo::app
