#include "app/updates/MessageBoxUpdatePrompt.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <limits>

namespace brimo::app::updates {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("MessageBoxUpdatePrompt", text);
}

// Texts can come from the feed: shown as written, selectable, never a link.
void showPlainText(QLabel& label) {
    label.setTextFormat(Qt::PlainText);
    label.setOpenExternalLinks(false);
    label.setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void runModal(QMessageBox& box) {
    // The box's own setting leaves out the informative text's label.
    box.setTextFormat(Qt::PlainText);
    for (QLabel* label : box.findChildren<QLabel*>())
        showPlainText(*label);
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
}

// QProgressDialog counts in int: large sizes are scaled down alike.
int progressUnits(int64_t bytes, int shift) {
    return static_cast<int>(std::max<int64_t>(bytes, 0) >> shift);
}

int progressShift(int64_t total) {
    int shift = 0;
    while ((total >> shift) > std::numeric_limits<int>::max())
        ++shift;
    return shift;
}

} // namespace

MessageBoxUpdatePrompt::~MessageBoxUpdatePrompt() {
    delete progress_;
}

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

void MessageBoxUpdatePrompt::downloadStarted(const UpdateItem& item, std::function<void()> cancel) {
    downloadEnded();
    auto* dialog = new QProgressDialog;
    auto* label = new QLabel(dialog);
    showPlainText(*label);
    label->setText(tr("Downloading Brimo %1…").arg(QString::fromStdString(item.displayVersion)));
    dialog->setLabel(label);
    dialog->setWindowTitle(tr("Updating Brimo"));
    dialog->setCancelButtonText(tr("Cancel"));
    dialog->setWindowIcon(QApplication::windowIcon());
    dialog->setRange(0, 0); // busy until a size is known
    dialog->setAutoReset(false);
    dialog->setAutoClose(false);
    dialog->setMinimumDuration(0);
    // The button, the window's close box and Escape all cancel.
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, cancel);
    QObject::connect(dialog, &QDialog::rejected, dialog, cancel);
    progress_ = dialog;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void MessageBoxUpdatePrompt::downloadProgress(int64_t received, std::optional<int64_t> total) {
    if (!progress_) return;
    if (!total || *total <= 0) {
        progress_->setRange(0, 0);
        return;
    }
    const int shift = progressShift(*total);
    progress_->setRange(0, progressUnits(*total, shift));
    progress_->setValue(progressUnits(std::min(received, *total), shift));
}

// Closing it here is no cancel: its signals are cut first.
void MessageBoxUpdatePrompt::downloadEnded() {
    if (!progress_) return;
    QProgressDialog* dialog = progress_;
    progress_ = nullptr;
    dialog->disconnect();
    dialog->hide();
    dialog->deleteLater();
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
