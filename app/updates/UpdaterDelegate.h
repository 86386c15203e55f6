#pragma once

#include "app/updates/UpdaterController.h"

#include <QUrl>
#include <iostream>
#include <optional>

// The app's side of the update framework: it names the feed to read and writes each step of an
// update cycle as one "[Sparkle] ..." line to standard output.
namespace brimo::app::updates {

class UpdaterDelegate final : public UpdaterDelegateProtocol {
public:
    // Lines go to `output`, flushed one by one; it must outlive the delegate.
    explicit UpdaterDelegate(std::ostream& output = std::cout)
        : output_(output) {}

    // None until a feed has been resolved.
    std::optional<QUrl> feedURL;

    std::optional<QString> feedURLString() override;
    void didFindValidUpdate(const UpdateItem& item) override;
    void didNotFindUpdate(const UpdateError& error) override;
    void willDownloadUpdate(const UpdateItem& item, const QNetworkRequest& request) override;
    void didDownloadUpdate(const UpdateItem& item) override;
    void failedToDownloadUpdate(const UpdateItem& item, const UpdateError& error) override;
    void willExtractUpdate(const UpdateItem& item) override;
    void didExtractUpdate(const UpdateItem& item) override;
    void willInstallUpdate(const UpdateItem& item) override;
    void didAbortWithError(const UpdateError& error) override;
    void didFinishUpdateCycle(UpdateCheck check, const std::optional<UpdateError>& error) override;

private:
    void writeLine(const std::string& text);

    std::ostream& output_;
};

} // namespace brimo::app::updates
