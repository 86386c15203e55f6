#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace brimo::app::effects {

// A line of secondary text over which a brighter band sweeps from left to right: the band moves
// during the first `sweepFraction` of every `period` seconds and is gone for the rest of the
// cycle. It animates only while visible, and between sweeps it repaints nothing.
class ShimmeringText final : public QWidget {
    Q_OBJECT

public:
    // A period below a tenth of a second or above a day, and a sweep fraction outside
    // [0.01, 1], are taken as the nearest bound.
    ShimmeringText(QString text, double period, double sweepFraction, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    double period() const { return period_; }
    double sweepFraction() const { return sweepFraction_; }
    // A sweep is playing or the next one is scheduled.
    bool isAnimating() const;

    // Where the band's centre is, as a share of the text's width: 0 when a sweep starts, 1 when
    // it ends, moving linearly; none outside the sweep (including before 0 and after `period`).
    static std::optional<double> bandPosition(double secondsIntoCycle, double period,
                                              double sweepFraction);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    double secondsIntoCycle() const;
    // Repaints when the band moves or has just left, then waits for the next frame or sweep.
    void advance();

    QString text_;
    double period_;
    double sweepFraction_;
    // Started when the widget shows: every showing begins with a sweep.
    QElapsedTimer clock_;
    // About 30 frames a second while the band moves.
    QTimer frames_;
    // One wake-up at the start of the next cycle.
    QTimer nextSweep_;
};

} // namespace brimo::app::effects
