#pragma once

#include "app/updates/BundleUpdater.h"

// The update cycle's questions and answers as message boxes, modal for the whole app.
namespace brimo::app::updates {

class MessageBoxUpdatePrompt final : public UpdatePrompt {
public:
    Choice askToInstall(const UpdateItem& item,
                        const std::string& installedDisplayVersion) override;
    // The cycle logs its steps; a progress window comes with the app's window.
    void downloadProgress(int64_t, std::optional<int64_t>) override {}
    void showNoUpdate(const UpdateError& error) override;
    void showError(const UpdateError& error) override;
};

} // namespace brimo::app::updates
