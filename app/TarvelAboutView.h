#pragma once

#include "app/MainBundle.h"

#include <QString>
#include <QWidget>
#include <optional>
#include <string>

class QPushButton;

// The window's about page: the app's icon, name and version, its tagline and, when the update
// feed names one, a link to the web site.
namespace brimo::app {

class Workspace;
namespace updates {
class AppUpdater;
}

class TarvelAboutView : public QWidget {
    Q_OBJECT

public:
    TarvelAboutView(const MainBundle& bundle, updates::AppUpdater& updater, Workspace& workspace,
                    QWidget* parent = nullptr);

    // The display name, else the bundle name, else "Brimo".
    static QString appName(const MainBundle& bundle);
    // "Version 1.2 (34)", with "—" for a value the bundle does not have.
    static QString versionLine(const std::optional<std::string>& shortVersion,
                               const std::optional<std::string>& build);

private:
    QPushButton* website_;
};

} // namespace brimo::app
