#pragma once

#include "app/TarvelStatus.h"

#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The app in the desktop's tray: an icon that shows the drive's state at a glance, and the menu
// it opens on a click.
namespace brimo::app {

struct TarvelEnvironment;
class XPCClientState;

// The tray icon. Shown at once, also before the app may present its menu.
class TarvelMenuBarLabel : public QObject {
    Q_OBJECT

public:
    TarvelMenuBarLabel(XPCClientState& state, QMenu& menu, QObject* parent = nullptr);
    ~TarvelMenuBarLabel() override;

    QSystemTrayIcon& trayIcon() { return *tray_; }
    // The symbol the icon shows now.
    const QString& symbol() const { return symbol_; }

private:
    void render();

    XPCClientState& state_;
    QSystemTrayIcon* tray_;
    QString symbol_;
};

// The menu's items, in order: the state's first line, "Open Brimo…", "Eject", "Check for
// Updates…" and "Quit Brimo". They follow the shared state as it changes.
class TarvelMenuBarContent : public QObject {
    Q_OBJECT

public:
    // `checkForUpdates` is the updater's shared action; the menu only shows it.
    TarvelMenuBarContent(TarvelEnvironment& environment, QMenu& menu, QAction* checkForUpdates);

    QAction* firstLine() const { return firstLine_; }
    QAction* openBrimo() const { return openBrimo_; }
    QAction* eject() const { return eject_; }
    QAction* quit() const { return quit_; }

private:
    void render();

    TarvelEnvironment& environment_;
    QAction* firstLine_;
    QAction* openBrimo_;
    QAction* eject_;
    QAction* quit_;
    bool firstLineIsButton_ = false;
};

} // namespace brimo::app
