#pragma once

#include "app/TarvelAppDelegate.h"
#include "app/TarvelEnvironment.h"

#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QTranslator>

// The app as the user meets it: the tray icon with its menu and the window "Brimo", both
// following the shared link state, around the delegate's start-up. Main thread only; needs the
// QApplication.
namespace brimo::app {

class ContentView;
class TarvelMenuBarContent;
class TarvelMenuBarLabel;

// The window "Brimo": empty until the app may present itself, then the split view.
class TarvelMainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr const char* kIdentifier = "main";

    TarvelMainWindow(TarvelAppDelegate& delegate, TarvelEnvironment& environment,
                     QAction* checkForUpdates);

    // None until the app may present itself.
    ContentView* content() const;
};

class TarvelApp : public QObject {
    Q_OBJECT

public:
    TarvelApp();
    ~TarvelApp() override;

    // The start-up: relocation check and hand-over, then, for a copy that stays, its window,
    // the login item once, the service and the updater.
    void launch();

    // "Open Brimo…": the app's window in front, a new one if there is none.
    void openMainWindow();

    TarvelAppDelegate& delegate() { return delegate_; }
    TarvelEnvironment& environment() { return environment_; }
    QMenu& menu() { return menu_; }
    TarvelMenuBarLabel& menuBarLabel() { return *label_; }
    // None once the window was destroyed and before it is opened again.
    TarvelMainWindow* mainWindow() const { return window_; }

private:
    TarvelMainWindow* createMainWindow();

    QTranslator catalogue_;
    TarvelAppDelegate delegate_;
    TarvelEnvironment environment_;
    QAction* checkForUpdates_;
    QMenu menu_;
    TarvelMenuBarLabel* label_;
    QPointer<TarvelMainWindow> window_;
};

} // namespace brimo::app
