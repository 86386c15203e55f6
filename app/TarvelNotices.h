#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

class QSystemTrayIcon;

// Desktop notifications for what the user would not know otherwise, as desktops tell of a USB
// stick pulled without ejecting: the phone went away while the drive was in use, or a save could
// not reach the phone and was kept on this computer. Nothing while all is well.
namespace brimo::app {

class AppClock;
class AppTimer;
class XPCClientState;

// Where notifications go.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void notify(const QString& title, const QString& body) = 0;
};

// Through the tray icon: the desktop's notification service where the tray speaks to it, else
// a balloon beside the icon.
class TrayNotifier final : public DesktopNotifier {
public:
    explicit TrayNotifier(QSystemTrayIcon& tray)
        : tray_(tray) {}
    void notify(const QString& title, const QString& body) override;

private:
    QSystemTrayIcon& tray_;
};

class TarvelNotices : public QObject {
    Q_OBJECT

public:
    // Follows `state` and the kept saves in `keptSaves` (the container's folder of them; none
    // watched when empty). Saves kept before now are not told again.
    TarvelNotices(XPCClientState& state, AppClock& clock, std::unique_ptr<DesktopNotifier> notifier,
                  std::filesystem::path keptSaves, QObject* parent = nullptr);
    ~TarvelNotices() override;

private:
    void stateChanged();
    void keptSavesChanged(bool tell);
    void notify(const QString& title, const QString& body);

    XPCClientState& state_;
    AppClock& clock_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::filesystem::path keptSaves_;
    QFileSystemWatcher watcher_;
    bool phone_;
    bool drive_;
    // Set for a moment after the drive went while the phone was there: the service unmounts
    // it at once when the phone is unplugged, so the drive may go just before the phone does.
    std::shared_ptr<AppTimer> driveJustWent_;
    std::set<std::string> told_;
};

} // namespace brimo::app
