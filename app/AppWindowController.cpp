#include "app/AppWindowController.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>

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

// The application's windows in the order they were made (topLevelWidgets() has no order), then
// those not made yet, which have no order either.
QWidget* AppWindowController::findMainWindow() {
    const QWidgetList widgets = QApplication::topLevelWidgets();
    const auto candidate = [](const QWidget* widget) {
        return canBecomeMain(*widget) && hasTitleBar(*widget);
    };
    for (QWindow* window : QGuiApplication::topLevelWindows())
        for (QWidget* widget : widgets)
            if (widget->windowHandle() == window && candidate(widget)) return widget;
    for (QWidget* widget : widgets)
        if (!widget->windowHandle() && candidate(widget)) return widget;
    return nullptr;
}

} // namespace brimo::app
