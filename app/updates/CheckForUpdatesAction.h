#pragma once

class QAction;
class QObject;

namespace brimo::app::updates {

class AppUpdater;

// The "Check for Updates…" command of the menu and the window: it asks the updater for a
// user-initiated check and is disabled while the updater cannot check.
QAction* makeCheckForUpdatesAction(AppUpdater& updater, QObject* parent);

} // namespace brimo::app::updates
