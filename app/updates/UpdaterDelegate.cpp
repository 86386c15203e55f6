#include "app/updates/UpdaterDelegate.h"

namespace brimo::app::updates {

namespace {

std::string absoluteString(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded).toStdString();
}

} // namespace

std::optional<QString> UpdaterDelegate::feedURLString() {
    if (!feedURL) return std::nullopt;
    return feedURL->toString(QUrl::FullyEncoded);
}

void UpdaterDelegate::didFindValidUpdate(const UpdateItem& item) {
    writeLine("[Sparkle] found update: " + item.displayVersion + " (build " + item.version + ")");
}

void UpdaterDelegate::didNotFindUpdate(const UpdateError& error) {
    writeLine("[Sparkle] no update: " + error.description);
}

void UpdaterDelegate::willDownloadUpdate(const UpdateItem& item, const QNetworkRequest& request) {
    writeLine("[Sparkle] will download: " + item.displayVersion + " from " +
              absoluteString(request.url()));
}

void UpdaterDelegate::didDownloadUpdate(const UpdateItem& item) {
    writeLine("[Sparkle] downloaded: " + item.displayVersion);
}

void UpdaterDelegate::failedToDownloadUpdate(const UpdateItem& item, const UpdateError& error) {
    writeLine("[Sparkle] download failed for " + item.displayVersion + ": " + error.description);
}

void UpdaterDelegate::willExtractUpdate(const UpdateItem& item) {
    writeLine("[Sparkle] will extract: " + item.displayVersion);
}

void UpdaterDelegate::didExtractUpdate(const UpdateItem& item) {
    writeLine("[Sparkle] extracted: " + item.displayVersion);
}

void UpdaterDelegate::willInstallUpdate(const UpdateItem& item) {
    writeLine("[Sparkle] will install: " + item.displayVersion);
}

void UpdaterDelegate::didAbortWithError(const UpdateError& error) {
    writeLine("[Sparkle] aborted: domain=" + error.domain + " code=" + std::to_string(error.code) +
              " " + error.description);
}

void UpdaterDelegate::didFinishUpdateCycle(UpdateCheck check,
                                           const std::optional<UpdateError>& error) {
    if (error)
        writeLine("[Sparkle] cycle finished: " + error->description);
    else
        writeLine(std::string("[Sparkle] cycle finished OK (check=") + updateCheckName(check) +
                  ")");
}

void UpdaterDelegate::writeLine(const std::string& text) {
    output_ << text << '\n' << std::flush;
}

} // namespace brimo::app::updates
