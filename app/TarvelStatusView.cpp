#include "app/TarvelStatusView.h"

#include "app/AppClock.h"
#include "app/DomainSetup.h"
#include "app/StatusRow.h"
#include "app/Symbols.h"
#include "app/effects/ShimmeringText.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace brimo::app {
namespace {

constexpr int kHeaderSymbolPoints = 42;
constexpr int kButtonSymbolPoints = 16;

QGroupBox* section(QWidget* page, const char* name) {
    auto* box = new QGroupBox(page);
    box->setObjectName(name);
    page->layout()->addWidget(box);
    return box;
}

QLabel* symbolLabel(const QString& symbol, int points, const QColor& tint, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(symbolPixmap(symbol, points, tint, parent->devicePixelRatioF()));
    label->setProperty("symbol", symbol);
    return label;
}

} // namespace

TarvelStatusView::TarvelStatusView(Dependencies dependencies, Status status, QWidget* parent)
    : QWidget(parent)
    , deps_(std::move(dependencies))
    , status_(std::move(status)) {
    auto* page = new QVBoxLayout(this);
    page->setSpacing(12);
    buildStatusSection(this);
    buildWarningSection(this);
    buildActionsSection(this);
    buildLoginSection(this);
    page->addStretch(1);
    render();
}

TarvelStatusView::~TarvelStatusView() {
    stopExtensionCheck();
}

void TarvelStatusView::buildStatusSection(QWidget* page) {
    QGroupBox* box = section(page, "statusSection");
    headerIcon_ = new QLabel(box);
    headerIcon_->setObjectName("headerIcon");
    headerTitle_ = new QLabel(box);
    headerTitle_->setObjectName("headerTitle");
    QFont semibold = headerTitle_->font();
    semibold.setWeight(QFont::DemiBold);
    semibold.setPointSizeF(semibold.pointSizeF() * 1.3);
    headerTitle_->setFont(semibold);
    headerDetail_ = new effects::ShimmeringText(QString(), 2.4, 0.5, box);
    headerDetail_->setObjectName("headerDetail");

    auto* titles = new QVBoxLayout;
    titles->addWidget(headerTitle_);
    titles->addWidget(headerDetail_);
    auto* header = new QHBoxLayout;
    header->addWidget(headerIcon_);
    header->addLayout(titles, 1);

    deviceRow_ = new StatusRow("iphone", QCoreApplication::translate("TarvelStatusView", "iPhone"),
                               status_.deviceName, status_.isDeviceConnected, box);
    deviceRow_->setObjectName("deviceRow");
    driveRow_ = new StatusRow("externaldrive",
                              QCoreApplication::translate("TarvelStatusView", "Brimo Drive"),
                              status_.mountDescription, status_.isMounted, box);
    driveRow_->setObjectName("driveRow");

    auto* layout = new QVBoxLayout(box);
    layout->addLayout(header);
    layout->addWidget(deviceRow_);
    layout->addWidget(driveRow_);
}

void TarvelStatusView::buildWarningSection(QWidget* page) {
    warning_ = section(page, "extensionWarning");
    auto* title = new QLabel(
        QCoreApplication::translate("TarvelStatusView", "File System Extension Disabled"),
        warning_);
    title->setObjectName("warningTitle");
    QFont bold = title->font();
    bold.setWeight(QFont::DemiBold);
    title->setFont(bold);
    auto* text = new QLabel(
        QCoreApplication::translate("TarvelStatusView",
                                    "Enable Brimo in System Settings → General → Login Items & "
                                    "Extensions → File System Extensions, or the drive cannot be "
                                    "mounted."),
        warning_);
    text->setObjectName("warningText");
    text->setWordWrap(true);
    text->setForegroundRole(QPalette::PlaceholderText);
    auto* settings = new QPushButton(
        symbolIcon("gearshape", QPalette::ButtonText),
        QCoreApplication::translate("TarvelStatusView", "Open System Settings"), warning_);
    settings->setObjectName("openSystemSettings");
    connect(settings, &QPushButton::clicked, this, [this] { deps_.domain.openFSKitSettings(); });

    auto* column = new QVBoxLayout;
    column->addWidget(title);
    column->addWidget(text);
    column->addWidget(settings, 0, Qt::AlignLeft);
    auto* layout = new QHBoxLayout(warning_);
    layout->addWidget(symbolLabel("exclamationmark.triangle.fill", 24, colours::orange, warning_),
                      0, Qt::AlignTop);
    layout->addLayout(column, 1);
}

void TarvelStatusView::buildActionsSection(QWidget* page) {
    QGroupBox* box = section(page, "actionsSection");
    openInFinder_ =
        new QPushButton(symbolIcon("folder", QPalette::ButtonText),
                        QCoreApplication::translate("TarvelStatusView", "Open in Finder"), box);
    openInFinder_->setObjectName("openInFinder");
    openInFinder_->setIconSize({kButtonSymbolPoints, kButtonSymbolPoints});
    // The prominent action of the page.
    openInFinder_->setDefault(true);
    connect(openInFinder_, &QPushButton::clicked, this, [this] { deps_.domain.openInFinder(); });
    eject_ = new QPushButton(QCoreApplication::translate("TarvelStatusView", "Eject"), box);
    eject_->setObjectName("eject");
    connect(eject_, &QPushButton::clicked, this, &TarvelStatusView::eject);

    auto* layout = new QHBoxLayout(box);
    layout->addWidget(openInFinder_);
    layout->addWidget(eject_);
    layout->addStretch(1);
}

void TarvelStatusView::buildLoginSection(QWidget* page) {
    QGroupBox* box = section(page, "loginSection");
    launchAtLoginSwitch_ =
        new QCheckBox(QCoreApplication::translate("TarvelStatusView", "Launch at Login"), box);
    launchAtLoginSwitch_->setObjectName("launchAtLogin");
    launchAtLoginSwitch_->setIcon(symbolIcon("power", QPalette::WindowText));
    connect(launchAtLoginSwitch_, &QCheckBox::toggled, this, &TarvelStatusView::setLaunchAtLogin);
    auto* layout = new QHBoxLayout(box);
    layout->addWidget(launchAtLoginSwitch_);
}

void TarvelStatusView::setStatus(const Status& status) {
    if (status == status_) return;
    status_ = status;
    render();
}

void TarvelStatusView::render() {
    const TarvelStatusLook look = TarvelStatusLook::of(status_);
    headerIcon_->setPixmap(symbolPixmap(look.headerSymbol, kHeaderSymbolPoints, look.headerColour,
                                        devicePixelRatioF()));
    headerIcon_->setProperty("symbol", look.headerSymbol);
    headerTitle_->setText(look.headerTitle);
    // While waiting, the drive's description shimmers under the title; once ready it is still.
    headerDetail_->setText(status_.mountDescription);
    headerDetail_->setVisible(look.state != TarvelStatusLook::State::ready);

    deviceRow_->setDetail(status_.deviceName);
    deviceRow_->setHealthy(status_.isDeviceConnected);
    driveRow_->setDetail(status_.mountDescription);
    driveRow_->setHealthy(status_.isMounted);

    warning_->setVisible(!isFSKitEnabled_);
    openInFinder_->setEnabled(status_.isMounted);
    eject_->setEnabled(status_.isMounted && !isEjecting_);
}

void TarvelStatusView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    readLaunchAtLogin();
    stopExtensionCheck();
    checkExtension();
}

void TarvelStatusView::hideEvent(QHideEvent* event) {
    stopExtensionCheck();
    QWidget::hideEvent(event);
}

void TarvelStatusView::checkExtension() {
    isFSKitEnabled_ = deps_.domain.isEnabled();
    render();
    if (isFSKitEnabled_) return;
    recheck_ = deps_.clock.after(kExtensionRecheck, [this] { checkExtension(); });
}

void TarvelStatusView::stopExtensionCheck() {
    if (recheck_) recheck_->cancel();
    recheck_.reset();
}

void TarvelStatusView::eject() {
    if (isEjecting_) return;
    isEjecting_ = true;
    render();
    // The answer may come after the page is gone.
    deps_.shutdownService([view = QPointer(this)] {
        if (!view) return;
        view->isEjecting_ = false;
        view->render();
    });
}

void TarvelStatusView::readLaunchAtLogin() {
    launchAtLogin_ = deps_.domain.loginItem().status() == LoginItemStatus::enabled;
    const QSignalBlocker quiet(launchAtLoginSwitch_);
    launchAtLoginSwitch_->setChecked(launchAtLogin_);
}

// The desktop needs no approval for an autostart entry, so the switch simply shows whether the
// entry now starts this copy of the app.
void TarvelStatusView::setLaunchAtLogin(bool on) {
    if (on)
        deps_.domain.registerLoginItem();
    else
        deps_.domain.unregisterLoginItem();
    readLaunchAtLogin();
}

} // namespace brimo::app
