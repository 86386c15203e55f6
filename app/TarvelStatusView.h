#pragma once

#include "app/TarvelStatus.h"

#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;

// The window's home page: the status header and rows, the warning while the drive's file system
// cannot run, the drive's actions and the login-item switch.
namespace brimo::app {

class AppClock;
class AppTimer;
class DomainSetup;
class StatusRow;
namespace effects {
class ShimmeringText;
}

class TarvelStatusView : public QWidget {
    Q_OBJECT

public:
    using Status = TarvelStatus;
    // Asks the service to shut the drive down; `done` runs on the main thread when it answered
    // or gave up.
    using ShutdownService = std::function<void(std::function<void()> done)>;

    static constexpr std::chrono::milliseconds kExtensionRecheck{2000};

    struct Dependencies {
        DomainSetup& domain;
        AppClock& clock;
        ShutdownService shutdownService;
    };

    explicit TarvelStatusView(Dependencies dependencies, Status status = {},
                              QWidget* parent = nullptr);
    ~TarvelStatusView() override;

    const Status& status() const { return status_; }
    void setStatus(const Status& status);

    bool isFSKitEnabled() const { return isFSKitEnabled_; }
    bool isEjecting() const { return isEjecting_; }
    bool launchAtLogin() const { return launchAtLogin_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildStatusSection(QWidget* page);
    void buildWarningSection(QWidget* page);
    void buildActionsSection(QWidget* page);
    void buildLoginSection(QWidget* page);
    void render();
    // Asks whether the file system can run; while it cannot, asks again every 2 s until the
    // page is left.
    void checkExtension();
    void stopExtensionCheck();
    void eject();
    void setLaunchAtLogin(bool on);
    void readLaunchAtLogin();

    Dependencies deps_;
    Status status_;
    bool isFSKitEnabled_ = true;
    bool isEjecting_ = false;
    bool launchAtLogin_ = false;
    std::shared_ptr<AppTimer> recheck_;

    QLabel* headerIcon_;
    QLabel* headerTitle_;
    effects::ShimmeringText* headerDetail_;
    StatusRow* deviceRow_;
    StatusRow* driveRow_;
    QGroupBox* warning_;
    QPushButton* openInFinder_;
    QPushButton* eject_;
    QCheckBox* launchAtLoginSwitch_;
};

} // namespace brimo::app
