#include "app/MessageBoxAlerts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace brimo::app {
namespace {

// Alerts carry their source texts; the desktop's catalogue may name its own places instead.
QString translated(const std::string& text) {
    return QCoreApplication::translate("Alerts", text.c_str());
}

} // namespace

void MessageBoxAlerts::activateApp() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible()) continue;
        window->raise();
        window->activateWindow();
    }
}

void MessageBoxAlerts::runModal(const Alert& alert) {
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setIconPixmap(QApplication::windowIcon().pixmap(64));
    box.setText(translated(alert.messageText));
    box.setInformativeText(translated(alert.informativeText));
    box.setDetailedText(QString::fromStdString(alert.detailedText));
    if (alert.buttons.empty()) box.setStandardButtons(QMessageBox::Ok);
    for (const auto& title : alert.buttons) {
        QPushButton* button = box.addButton(translated(title), QMessageBox::AcceptRole);
        if (!box.defaultButton()) box.setDefaultButton(button);
    }
    // An alert comes up in front, even when the app has no other window yet.
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

} // namespace brimo::app
