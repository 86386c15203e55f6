#include "app/TarvelMenuBar.h"

#include "app/DomainSetup.h"
#include "app/Symbols.h"
#include "app/TarvelEnvironment.h"
#include "app/XPCClientState.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>

namespace brimo::app {
TarvelMenuBarLabel::TarvelMenuBarLabel(XPCClientState& state, QMenu& menu, QObject* parent)
    : QObject(parent)
    , state_(state)
    , tray_(new QSystemTrayIcon(this)) {
    // What the tray and screen readers name the icon.
    tray_->setToolTip(QStringLiteral("Brimo"));
    tray_->setContextMenu(&menu);
    // A left click opens the same menu as a right click, as a menu-bar item does.
    connect(tray_, &QSystemTrayIcon::activated, this,
            [&menu](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) menu.popup(QCursor::pos());
            });
    connect(&state_, &XPCClientState::changed, this, &TarvelMenuBarLabel::render);
    render();
    tray_->show();
}

TarvelMenuBarLabel::~TarvelMenuBarLabel() {
    tray_->hide();
}

void TarvelMenuBarLabel::render() {
    const QString symbol = TarvelStatusLook::of(TarvelStatus::derive(state_)).menuBarSymbol;
    if (symbol == symbol_) return;
    symbol_ = symbol;
    tray_->setIcon(symbolIcon(symbol_, QApplication::palette().color(QPalette::WindowText)));
}

TarvelMenuBarContent::TarvelMenuBarContent(TarvelEnvironment& environment, QMenu& menu,
                                           QAction* checkForUpdates)
    : QObject(&menu)
    , environment_(environment)
    , firstLine_(menu.addAction(QString())) {
    connect(firstLine_, &QAction::triggered, this, [this] {
        if (firstLineIsButton_) environment_.domain.openInFinder();
    });
    menu.addSeparator();
    openBrimo_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Open Brimo…"));
    connect(openBrimo_, &QAction::triggered, this, [this] { environment_.openMainWindow(); });
    eject_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Eject"));
    // Nothing waits for the answer: the state follows the service's notifications.
    connect(eject_, &QAction::triggered, this, [this] { environment_.shutdownService([] {}); });
    menu.addSeparator();
    menu.addAction(checkForUpdates);
    quit_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Quit Brimo"));
    connect(quit_, &QAction::triggered, this, [this] { environment_.quit(); });
    connect(&environment_.state, &XPCClientState::changed, this, &TarvelMenuBarContent::render);
    render();
}

void TarvelMenuBarContent::render() {
    const TarvelStatus status = TarvelStatus::derive(environment_.state);
    const TarvelStatusLook look = TarvelStatusLook::of(status);
    firstLineIsButton_ = look.menuFirstLineIsButton;
    firstLine_->setText(look.menuFirstLine);
    // A plain line of text reads as such: it cannot be chosen.
    firstLine_->setEnabled(firstLineIsButton_);
    eject_->setEnabled(status.isMounted);
}

} // namespace brimo::app
