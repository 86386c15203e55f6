#include "app/StatusRow.h"

#include "app/Symbols.h"
#include "app/TarvelStatus.h"
#include "app/effects/GlowPulse.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace brimo::app {
namespace {

constexpr int kIconFrameWidth = 24;
constexpr int kSymbolPoints = 18;

} // namespace

StatusRow::StatusRow(QString icon, QString title, QString detail, bool isHealthy, QWidget* parent)
    : QWidget(parent)
    , icon_(std::move(icon))
    , isHealthy_(isHealthy)
    , iconLabel_(new QLabel(this))
    , title_(new QLabel(title, this))
    , detail_(new QLabel(detail, this))
    , mark_(new QLabel(this))
    , glow_(new effects::GlowPulse(this)) {
    iconLabel_->setFixedWidth(kIconFrameWidth);
    iconLabel_->setAlignment(Qt::AlignCenter);
    detail_->setForegroundRole(QPalette::PlaceholderText);
    title_->setObjectName("title");
    detail_->setObjectName("detail");
    mark_->setObjectName("mark");

    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    text->addWidget(title_);
    text->addWidget(detail_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(iconLabel_);
    row->addLayout(text, 1);
    row->addWidget(mark_);
    paintSymbols();
}

QString StatusRow::title() const {
    return title_->text();
}
QString StatusRow::detail() const {
    return detail_->text();
}

QString StatusRow::markSymbol() const {
    return isHealthy_ ? "checkmark.circle.fill" : "circle";
}

void StatusRow::setDetail(const QString& detail) {
    detail_->setText(detail);
}

void StatusRow::setHealthy(bool healthy) {
    if (healthy == isHealthy_) return;
    isHealthy_ = healthy;
    paintSymbols();
    if (!healthy) return;
    ++glowPulse_;
    glow_->trigger();
}

void StatusRow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) paintSymbols();
    QWidget::changeEvent(event);
}

void StatusRow::paintSymbols() {
    const QColor secondary = palette().color(QPalette::PlaceholderText);
    const qreal ratio = devicePixelRatioF();
    iconLabel_->setPixmap(symbolPixmap(icon_, kSymbolPoints, secondary, ratio));
    mark_->setPixmap(
        symbolPixmap(markSymbol(), kSymbolPoints, isHealthy_ ? colours::green : secondary, ratio));
}

} // namespace brimo::app
