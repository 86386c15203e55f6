#pragma once

#include "app/TarvelStatus.h"

#include <QColor>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The app in the desktop's tray: an icon that shows the drive's state at a glance, and the menu
// it opens on a click.
namespace brimo::app {

struct TarvelEnvironment;
class XPCClientState;

// The colour of the panel the tray icon sits on.
class TrayPanel {
public:
    virtual ~TrayPanel() = default;
    // None while it cannot be seen: before the icon is docked, or in a tray that draws the
    // icons itself (over D-Bus).
    virtual std::optional<QColor> colourAround(const QSystemTrayIcon& tray) = 0;
};

// Looks at the panel through the icon's own window, where an X11 (XEmbed) tray shows it.
class ScreenTrayPanel final : public TrayPanel {
public:
    std::optional<QColor> colourAround(const QSystemTrayIcon& tray) override;
};

// The tray icon. Shown at once, also before the app may present its menu. Its symbol is light
// on a dark panel and dark on a light one, chosen again when the palette or the theme changes.
class TarvelMenuBarLabel : public QObject {
    Q_OBJECT

public:
    TarvelMenuBarLabel(XPCClientState& state, QMenu& menu, QObject* parent = nullptr,
                       std::unique_ptr<TrayPanel> panel = std::make_unique<ScreenTrayPanel>());
    ~TarvelMenuBarLabel() override;

    QSystemTrayIcon& trayIcon() { return *tray_; }
    // The symbol the icon shows now, and its tint.
    const QString& symbol() const { return symbol_; }
    const QColor& tint() const { return tint_; }

    // For a panel: the tint that stands out on it.
    static QColor tintOn(const QColor& panel);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void render();
    // The panel is seen only once the icon is docked, a moment after it is shown.
    void lookAtPanelSoon(int tries);

    XPCClientState& state_;
    std::unique_ptr<TrayPanel> panel_;
    QSystemTrayIcon* tray_;
    QString symbol_;
    QColor tint_;
    bool renderPending_ = false;
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
