#pragma once

class QWidget;

// The app's windows.
namespace brimo::app {

class AppWindowController {
public:
    // The first top-level widget that can be the app's main window: a normal window (not a dialog,
    // popup, tool window, tooltip or splash screen) with a title bar. None when there is
    // none; it may be hidden or minimised.
    static QWidget* findMainWindow();
};

} // namespace brimo::app
