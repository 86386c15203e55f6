#include "app/TarvelAboutView.h"

#include "app/Symbols.h"
#include "app/Workspace.h"
#include "app/updates/AppUpdater.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace brimo::app {
namespace {

constexpr int kIconPoints = 100;

QString orDash(const std::optional<std::string>& value) {
    return value ? QString::fromStdString(*value) : QStringLiteral("—");
}

QPixmap appIcon(qreal ratio) {
    QPixmap pixmap(QSize(kIconPoints, kIconPoints) * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/app/Ozm.Tarvel.Mac.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

} // namespace

QString TarvelAboutView::appName(const MainBundle& bundle) {
    if (auto name = bundle.infoString("CFBundleDisplayName")) return QString::fromStdString(*name);
    if (auto name = bundle.infoString("CFBundleName")) return QString::fromStdString(*name);
    return QStringLiteral("Brimo");
}

QString TarvelAboutView::versionLine(const std::optional<std::string>& shortVersion,
                                     const std::optional<std::string>& build) {
    return QCoreApplication::translate("TarvelAboutView", "Version %1 (%2)")
        .arg(orDash(shortVersion), orDash(build));
}

TarvelAboutView::TarvelAboutView(const MainBundle& bundle, updates::AppUpdater& updater,
                                 Workspace& workspace, QWidget* parent)
    : QWidget(parent) {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setSpacing(8);

    auto* icon = new QLabel(column);
    icon->setObjectName("appIcon");
    icon->setPixmap(appIcon(devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel(appName(bundle), column);
    name->setObjectName("appName");
    name->setAlignment(Qt::AlignCenter);
    QFont semibold = name->font();
    semibold.setWeight(QFont::DemiBold);
    semibold.setPointSizeF(semibold.pointSizeF() * 1.5);
    name->setFont(semibold);
    auto* version = secondaryLabel(versionLine(bundle.infoString("CFBundleShortVersionString"),
                                               bundle.infoString("CFBundleVersion")),
                                   column);
    version->setObjectName("versionLine");
    auto* tagline =
        secondaryLabel(QCoreApplication::translate(
                           "TarvelAboutView", "Turn your iPhone into a fast pocket drive for Mac."),
                       column);
    tagline->setObjectName("tagline");

    website_ = new QPushButton(
        QCoreApplication::translate("TarvelAboutView", "Visit Official Website"), column);
    website_->setObjectName("website");
    website_->setFlat(true);
    website_->setCursor(Qt::PointingHandCursor);
    website_->setIcon(symbolIcon("arrow.up.right", QPalette::Link));
    // The arrow follows the text, as a link's does.
    website_->setLayoutDirection(Qt::RightToLeft);
    QFont footnote = website_->font();
    footnote.setWeight(QFont::DemiBold);
    footnote.setPointSizeF(footnote.pointSizeF() * 0.85);
    website_->setFont(footnote);
    QPalette linkColours = website_->palette();
    linkColours.setColor(QPalette::ButtonText, palette().color(QPalette::Link));
    website_->setPalette(linkColours);
    auto showWebsite = [this](const QUrl& url) { website_->setVisible(!url.isEmpty()); };
    showWebsite(updater.websiteURL());
    connect(&updater, &updates::AppUpdater::websiteURLChanged, this, showWebsite);
    connect(website_, &QPushButton::clicked, this, [&updater, &workspace] {
        const QUrl url = updater.websiteURL();
        if (!url.isEmpty()) workspace.openURL(url);
    });

    layout->addStretch(1);
    layout->addWidget(icon);
    layout->addWidget(name);
    layout->addWidget(version);
    layout->addWidget(tagline);
    layout->addWidget(website_, 0, Qt::AlignCenter);
    layout->addStretch(1);

    auto* scroll = new QScrollArea(this);
    scroll->setWidget(column);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
}

} // namespace brimo::app
