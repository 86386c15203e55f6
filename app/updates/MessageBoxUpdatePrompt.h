#pragma once

#include "app/updates/BundleUpdater.h"

#include <QPointer>

class QProgressDialog;

// The update cycle's questions and answers as message boxes, modal for the whole app, and the
// download's progress in a window of its own. Feed text is shown as plain text: a mirror must not
// put markup or links into the app's own dialogs.
namespace brimo::app::updates {

class MessageBoxUpdatePrompt final : public UpdatePrompt {
public:
    MessageBoxUpdatePrompt() = default;
    ~MessageBoxUpdatePrompt() override;
    MessageBoxUpdatePrompt(const MessageBoxUpdatePrompt&) = delete;
    MessageBoxUpdatePrompt& operator=(const MessageBoxUpdatePrompt&) = delete;

    Choice askToInstall(const UpdateItem& item,
                        const std::string& installedDisplayVersion) override;
    // Not modal, so that updating it never runs a nested event loop inside the download.
    void downloadStarted(const UpdateItem& item, std::function<void()> cancel) override;
    void downloadProgress(int64_t received, std::optional<int64_t> total) override;
    void downloadEnded() override;
    void showNoUpdate(const UpdateError& error) override;
    void showError(const UpdateError& error) override;

private:
    QPointer<QProgressDialog> progress_;
};

} // namespace brimo::app::updates
