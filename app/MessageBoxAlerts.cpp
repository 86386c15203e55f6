#include "app/MessageBoxAlerts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace brimo::app {

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
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    box.setDetailedText(QString::fromStdString(alert.detailedText));
    if (alert.buttons.empty()) box.setStandardButtons(QMessageBox::Ok);
    for (const auto& title : alert.buttons) {
        QPushButton* button = box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole);
        if (!box.defaultButton()) box.setDefaultButton(button);
    }
    // An alert comes up in front, even when the app has no other window yet.
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

} // namespace brimo::app
