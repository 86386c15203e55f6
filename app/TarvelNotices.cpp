#include "app/TarvelNotices.h"

#include "app/AppClock.h"
#include "app/XPCClientState.h"
#include "shared/Log.h"
#include "shared/messages/KeptSaves.h"

#include <QSystemTrayIcon>

namespace brimo::app {
namespace {

using namespace std::chrono_literals;

// How long after the drive went a lost phone still counts as lost while it was in use.
constexpr std::chrono::milliseconds kDriveJustWent = 2s;
constexpr int kShownFor = 10000; // ms, where the desktop leaves it to the notifier

} // namespace

void TrayNotifier::notify(const QString& title, const QString& body) {
    tray_.showMessage(title, body, QSystemTrayIcon::Warning, kShownFor);
}

TarvelNotices::TarvelNotices(XPCClientState& state, AppClock& clock,
                             std::unique_ptr<DesktopNotifier> notifier,
                             std::filesystem::path keptSaves, QObject* parent)
    : QObject(parent)
    , state_(state)
    , clock_(clock)
    , notifier_(std::move(notifier))
    , keptSaves_(std::move(keptSaves))
    , phone_(state.hasIOSConnection())
    , drive_(state.hasFileProviderConnection()) {
    connect(&state_, &XPCClientState::changed, this, &TarvelNotices::stateChanged);
    if (keptSaves_.empty()) return;
    keptSavesChanged(false);
    watcher_.addPath(QString::fromStdString(keptSaves_.string()));
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
            [this] { keptSavesChanged(true); });
}

TarvelNotices::~TarvelNotices() {
    if (driveJustWent_) driveJustWent_->cancel();
}

void TarvelNotices::stateChanged() {
    const bool phone = state_.hasIOSConnection();
    const bool drive = state_.hasFileProviderConnection();
    const bool wasInUse = drive_ || driveJustWent_;
    if (phone_ && !phone && wasInUse) {
        notify(tr("Phone Disconnected"),
               tr("The phone went away while Brimo was in use. Eject Brimo before unplugging "
                  "the phone."));
    }
    if (drive_ && !drive && phone) {
        if (driveJustWent_) driveJustWent_->cancel();
        driveJustWent_ = clock_.after(kDriveJustWent, [this] { driveJustWent_.reset(); });
    }
    if (!phone && driveJustWent_) {
        driveJustWent_->cancel();
        driveJustWent_.reset();
    }
    phone_ = phone;
    drive_ = drive;
}

// A save is told once, when the program was told it failed (a record written while the file
// was still being written is not a failure yet).
void TarvelNotices::keptSavesChanged(bool tell) {
    for (const KeptSave& save : KeptSaves(keptSaves_).list()) {
        if (!save.saveAsked || !told_.insert(save.id).second || !tell) continue;
        const QString name =
            QString::fromStdString(std::filesystem::path(save.identifier).filename().string());
        notify(tr("Save Kept on This Computer"),
               tr("“%1” could not be saved to the phone. It is kept here and sent when the "
                  "phone answers again.")
                   .arg(name));
    }
}

void TarvelNotices::notify(const QString& title, const QString& body) {
    log::appLog.info("notification: %s", title.toUtf8().constData());
    notifier_->notify(title, body);
}

} // namespace brimo::app
