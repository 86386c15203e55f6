#include "app/TarvelAppDelegate.h"

#include <QApplication>

// Brimo, the desktop app: for now its start-up and its link to the bridge service; the tray
// icon and the window build on the same delegate.
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Ozm.Tarvel");
    QCoreApplication::setApplicationName("Brimo");
    application.setQuitOnLastWindowClosed(false);

    brimo::app::TarvelAppDelegate delegate;
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return application.exec();
}
