#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QVariantAnimation>

class QGraphicsDropShadowEffect;
class QWidget;

namespace brimo::app::effects {

// One soft pulse of light around a widget: a glow whose spread and strength rise and fall. The
// glow takes the widget's graphics effect only while a pulse plays, so an idle widget draws as it
// always does.
class GlowPulse final : public QObject {
    Q_OBJECT

public:
    // Lives as a child of `target`, so it goes when the widget goes.
    explicit GlowPulse(QWidget* target, QColor colour = QColor(52, 199, 89));
    ~GlowPulse() override;

    // Plays one pulse; a pulse already playing starts over. Nothing happens while the target is
    // not visible.
    void trigger();
    bool isRunning() const;

protected:
    // Hiding the target ends the pulse.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void glowAt(double intensity);
    void removeGlow();

    // Cleared as the target starts its destruction, before it deletes its children.
    QWidget* target_;
    QColor colour_;
    QVariantAnimation animation_;
    // Owned by the target while installed; the target deletes it when it is removed.
    QPointer<QGraphicsDropShadowEffect> glow_;
};

} // namespace brimo::app::effects
