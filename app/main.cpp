#include "app/TarvelApp.h"

#include <QApplication>

// Brimo, the desktop app: a tray icon and one window on the bridge service's state.
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Ozm.Tarvel");
    QCoreApplication::setApplicationName("Brimo");
    // Closing the window leaves the app in the tray.
    application.setQuitOnLastWindowClosed(false);

    brimo::app::TarvelApp app;
    app.launch();
    return application.exec();
}
