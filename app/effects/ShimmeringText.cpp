#include "app/effects/ShimmeringText.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>

namespace brimo::app::effects {
namespace {

constexpr double kMinimumPeriod = 0.1;
constexpr double kMaximumPeriod = 24 * 60 * 60;
constexpr double kMinimumSweepFraction = 0.01;
constexpr int kFrameIntervalMs = 33;
// A subheadline beside body text: 11 points against 13.
constexpr double kSubheadlineScale = 11.0 / 13.0;
// The band's width as a share of the text's width, and its least width in pixels.
constexpr double kBandShare = 0.35;
constexpr double kMinimumBandWidth = 24.0;
constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

// Written so that NaN falls to the lower bound as well.
double clampedPeriod(double period) {
    return period >= kMinimumPeriod ? std::min(period, kMaximumPeriod) : kMinimumPeriod;
}

double clampedSweepFraction(double fraction) {
    return fraction >= kMinimumSweepFraction ? std::min(fraction, 1.0) : kMinimumSweepFraction;
}

QFont subheadlineFont(QFont font) {
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * kSubheadlineScale);
    else
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * kSubheadlineScale)));
    return font;
}

} // namespace

ShimmeringText::ShimmeringText(QString text, double period, double sweepFraction, QWidget* parent)
    : QWidget(parent)
    , text_(std::move(text))
    , period_(clampedPeriod(period))
    , sweepFraction_(clampedSweepFraction(sweepFraction))
    , frames_(this)
    , nextSweep_(this) {
    setFont(subheadlineFont(font()));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    frames_.setInterval(kFrameIntervalMs);
    nextSweep_.setSingleShot(true);
    // A coarse timer may wake early, which would only cost a second wait.
    nextSweep_.setTimerType(Qt::PreciseTimer);
    connect(&frames_, &QTimer::timeout, this, &ShimmeringText::advance);
    connect(&nextSweep_, &QTimer::timeout, this, &ShimmeringText::advance);
}

void ShimmeringText::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

bool ShimmeringText::isAnimating() const {
    return frames_.isActive() || nextSweep_.isActive();
}

std::optional<double> ShimmeringText::bandPosition(double secondsIntoCycle, double period,
                                                   double sweepFraction) {
    const double sweep = clampedPeriod(period) * clampedSweepFraction(sweepFraction);
    if (!(secondsIntoCycle >= 0.0 && secondsIntoCycle <= sweep)) return std::nullopt;
    return secondsIntoCycle / sweep;
}

QSize ShimmeringText::sizeHint() const {
    // Rounded up, so that the whole text fits the hinted width without being elided.
    const QFontMetricsF metrics(font());
    const QMargins margins = contentsMargins();
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text_))) + margins.left() +
                margins.right(),
            static_cast<int>(std::ceil(metrics.height())) + margins.top() + margins.bottom()};
}

void ShimmeringText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text_, Qt::ElideRight, area.width());
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(area, kTextFlags, shown);

    const auto position =
        isAnimating() ? bandPosition(secondsIntoCycle(), period_, sweepFraction_) : std::nullopt;
    if (!position) return;
    // The same text again in the full text colour, seen only through the band.
    const QRect textArea = painter.boundingRect(area, kTextFlags, shown);
    const double centre = textArea.left() + *position * textArea.width();
    const double halfWidth = std::max(kMinimumBandWidth, textArea.width() * kBandShare) / 2;
    const QColor bright = palette().color(QPalette::WindowText);
    QColor clear = bright;
    clear.setAlpha(0);
    QLinearGradient band(centre - halfWidth, 0, centre + halfWidth, 0);
    band.setColorAt(0.0, clear);
    band.setColorAt(0.5, bright);
    band.setColorAt(1.0, clear);
    painter.setPen(QPen(QBrush(band), 0));
    painter.drawText(area, kTextFlags, shown);
}

void ShimmeringText::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    clock_.start();
    advance();
}

void ShimmeringText::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    frames_.stop();
    nextSweep_.stop();
}

double ShimmeringText::secondsIntoCycle() const {
    return std::fmod(static_cast<double>(clock_.elapsed()) / 1000.0, period_);
}

void ShimmeringText::advance() {
    const double phase = secondsIntoCycle();
    const bool sweeping = bandPosition(phase, period_, sweepFraction_).has_value();
    // A frame of the sweep, or the one that clears the band once it has passed.
    if (sweeping || frames_.isActive()) update();
    if (sweeping) {
        nextSweep_.stop();
        if (!frames_.isActive()) frames_.start();
        return;
    }
    frames_.stop();
    nextSweep_.start(static_cast<int>(std::ceil((period_ - phase) * 1000.0)));
}

} // namespace brimo::app::effects
