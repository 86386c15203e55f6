#pragma once

#include "app/Alerts.h"

namespace brimo::app {

// Alerts as QMessageBox dialogs, modal for the whole app.
class MessageBoxAlerts final : public Alerts {
public:
    void activateApp() override;
    void runModal(const Alert& alert) override;
};

} // namespace brimo::app
