#include "app/updates/CheckForUpdatesAction.h"

#include "app/updates/AppUpdater.h"

#include <QAction>
#include <QCoreApplication>

namespace brimo::app::updates {

QAction* makeCheckForUpdatesAction(AppUpdater& updater, QObject* parent) {
    auto* action = new QAction(
        QCoreApplication::translate("CheckForUpdatesView", "Check for Updates…"), parent);
    action->setEnabled(updater.canCheckForUpdates());
    QObject::connect(&updater, &AppUpdater::canCheckForUpdatesChanged, action,
                     &QAction::setEnabled);
    QObject::connect(action, &QAction::triggered, &updater, &AppUpdater::checkForUpdates);
    return action;
}

} // namespace brimo::app::updates
