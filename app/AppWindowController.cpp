#include "app/AppWindowController.h"

#include <QApplication>
#include <QWidget>

namespace brimo::app {
namespace {

// A widget without a parent is a plain window even before it is shown and flagged as one.
// Dialogs and alerts serve a window; they never become the main one.
bool canBecomeMain(const QWidget& widget) {
    const Qt::WindowType type = widget.windowType();
    return type == Qt::Widget || type == Qt::Window;
}

// A customised frame keeps its title bar only when it asks for one.
bool hasTitleBar(const QWidget& widget) {
    const Qt::WindowFlags flags = widget.windowFlags();
    if (flags.testFlag(Qt::FramelessWindowHint)) return false;
    return !flags.testFlag(Qt::CustomizeWindowHint) || flags.testFlag(Qt::WindowTitleHint);
}

} // namespace

QWidget* AppWindowController::findMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (canBecomeMain(*widget) && hasTitleBar(*widget)) return widget;
    return nullptr;
}

} // namespace brimo::app
