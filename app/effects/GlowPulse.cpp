#include "app/effects/GlowPulse.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace brimo::app::effects {
namespace {

constexpr int kDurationMs = 900;
// The glow's spread at the pulse's height, in pixels.
constexpr double kPeakBlurRadius = 24.0;

} // namespace

GlowPulse::GlowPulse(QWidget* target, QColor colour)
    : QObject(target)
    , target_(target)
    , colour_(colour) {
    animation_.setStartValue(0.0);
    animation_.setEndValue(1.0);
    animation_.setDuration(kDurationMs);
    // Progress 0 -> 1 becomes a swell and a fade: nothing at either end, brightest half-way.
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& progress) {
        glowAt(std::sin(std::numbers::pi * progress.toDouble()));
    });
    connect(&animation_, &QVariantAnimation::finished, this, &GlowPulse::removeGlow);
    if (!target_) return;
    target_->installEventFilter(this);
    // A widget announces its end before deleting its children, this object among them; from then
    // on it must not be touched.
    connect(target_, &QObject::destroyed, this, [this] {
        animation_.stop();
        target_ = nullptr;
    });
}

GlowPulse::~GlowPulse() {
    animation_.stop();
    removeGlow();
}

void GlowPulse::trigger() {
    if (!target_ || !target_->isVisible()) return;
    if (!glow_) {
        glow_ = new QGraphicsDropShadowEffect;
        glow_->setOffset(0, 0);
        glowAt(0.0);
        target_->setGraphicsEffect(glow_);
    }
    animation_.stop();
    animation_.start();
}

bool GlowPulse::isRunning() const {
    return animation_.state() == QAbstractAnimation::Running;
}

bool GlowPulse::eventFilter(QObject* watched, QEvent* event) {
    if (watched == target_ && event->type() == QEvent::Hide) {
        animation_.stop();
        removeGlow();
    }
    return QObject::eventFilter(watched, event);
}

void GlowPulse::glowAt(double intensity) {
    if (!glow_) return;
    const double level = std::clamp(intensity, 0.0, 1.0);
    glow_->setBlurRadius(kPeakBlurRadius * level);
    QColor colour = colour_;
    colour.setAlphaF(colour_.alphaF() * level);
    glow_->setColor(colour);
}

void GlowPulse::removeGlow() {
    // A glow still alive is installed: the target deletes it when it is removed or replaced.
    if (target_ && glow_) target_->setGraphicsEffect(nullptr);
}

} // namespace brimo::app::effects
