#include "app/updates/MessageBoxUpdatePrompt.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace brimo::app::updates {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("MessageBoxUpdatePrompt", text);
}

void runModal(QMessageBox& box) {
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

} // namespace

UpdatePrompt::Choice
MessageBoxUpdatePrompt::askToInstall(const UpdateItem& item,
                                     const std::string& installedDisplayVersion) {
    QMessageBox box;
    box.setText(tr("A new version of Brimo is available!"));
    box.setInformativeText(tr("Brimo %1 (build %2) is now available; you have %3. Would you like "
                              "to install it now?")
                               .arg(QString::fromStdString(item.displayVersion),
                                    QString::fromStdString(item.version),
                                    QString::fromStdString(installedDisplayVersion)));
    QPushButton* install = box.addButton(tr("Install Update"), QMessageBox::AcceptRole);
    QPushButton* later = box.addButton(tr("Remind Me Later"), QMessageBox::RejectRole);
    QPushButton* skip = box.addButton(tr("Skip This Version"), QMessageBox::DestructiveRole);
    box.setIconPixmap(QApplication::windowIcon().pixmap(64));
    box.setDefaultButton(install);
    box.setEscapeButton(later);
    runModal(box);
    if (box.clickedButton() == install) return Choice::installNow;
    if (box.clickedButton() == skip) return Choice::skipThisVersion;
    return Choice::later;
}

void MessageBoxUpdatePrompt::showNoUpdate(const UpdateError& error) {
    QMessageBox box;
    box.setIconPixmap(QApplication::windowIcon().pixmap(64));
    box.setText(tr("You're up to date!"));
    box.setInformativeText(QString::fromStdString(error.description));
    box.setStandardButtons(QMessageBox::Ok);
    runModal(box);
}

void MessageBoxUpdatePrompt::showError(const UpdateError& error) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setText(tr("Update Error!"));
    box.setInformativeText(QString::fromStdString(error.description));
    box.setStandardButtons(QMessageBox::Ok);
    runModal(box);
}

} // namespace brimo::app::updates
