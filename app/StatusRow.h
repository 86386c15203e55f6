#pragma once

#include <QString>
#include <QWidget>

class QLabel;

// One line of the status page: a symbol, a title over a detail, and a mark at its end that
// shows whether that part is healthy. Turning healthy (never turning unhealthy) pulses a glow
// around the row.
namespace brimo::app {

namespace effects {
class GlowPulse;
}

class StatusRow : public QWidget {
    Q_OBJECT

public:
    StatusRow(QString icon, QString title, QString detail, bool isHealthy,
              QWidget* parent = nullptr);

    QString icon() const { return icon_; }
    QString title() const;
    QString detail() const;
    bool isHealthy() const { return isHealthy_; }
    // How many times the row has turned healthy since it was made; each one triggered a pulse.
    int glowPulse() const { return glowPulse_; }
    // "checkmark.circle.fill" when healthy, else "circle".
    QString markSymbol() const;

    void setDetail(const QString& detail);
    void setHealthy(bool healthy);

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbols();

    QString icon_;
    bool isHealthy_;
    int glowPulse_ = 0;
    QLabel* iconLabel_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* mark_;
    effects::GlowPulse* glow_;
};

} // namespace brimo::app
