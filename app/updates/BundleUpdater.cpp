#include "app/updates/BundleUpdater.h"

#include "app/Relaunch.h"

#include "app/MoveToApplicationsService.h"
#include "app/updates/AppcastFeed.h"
#include "app/updates/AppcastParser.h"
#include "app/updates/UncachedRequest.h"
#include "app/updates/UpdateSignature.h"
#include "shared/BundleInfo.h"
#include "shared/Decimal.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSettings>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::app::updates {

namespace fs = std::filesystem;

const char* updateCheckName(UpdateCheck check) {
    switch (check) {
    case UpdateCheck::updates:
        return "updates";
    case UpdateCheck::updatesInBackground:
        return "updatesInBackground";
    }
    return "";
}

namespace {

// The name the archive's one top-level entry must have.
constexpr const char* kBundleName = "Brimo.app";
// The hidden folders the updater makes beside the bundle, each named by mkdtemp's six characters.
constexpr const char* kWorkFolderSuffix = ".update-";
constexpr const char* kProbeFolderSuffix = ".probe-";
constexpr size_t kTemporaryNameCharacters = 6;

UpdateError makeError(UpdaterErrorCode code, std::string description) {
    return {kUpdaterErrorDomain, static_cast<int64_t>(code), std::move(description)};
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// The user may replace the bundle: it and the folder holding it are writable, and a folder can
// really be made beside it. A copy the package manager installed is not, and neither is one on a
// read-only file system (where permission bits alone may say yes, as they do for root).
bool isReplaceable(const fs::path& bundle) {
    const fs::path folder = bundle.parent_path();
    if (::access(folder.c_str(), W_OK) != 0 || ::access(bundle.c_str(), W_OK) != 0) return false;
    std::string probe = folder / ("." + bundle.filename().string() + kProbeFolderSuffix + "XXXXXX");
    if (!::mkdtemp(probe.data())) return false;
    ::rmdir(probe.c_str());
    return true;
}

// The newest item above `floor`, by build number; items whose build is no number are ignored.
std::optional<UpdateItem> newestAbove(const std::vector<UpdateItem>& items, int64_t floor) {
    std::optional<UpdateItem> best;
    int64_t bestBuild = floor;
    for (const UpdateItem& item : items) {
        const auto build = parseSignedDecimal(item.version);
        if (build && *build > bestBuild) {
            best = item;
            bestBuild = *build;
        }
    }
    return best;
}

bool succeeded(QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return reply.error() == QNetworkReply::NoError && status.isValid() && status.toInt() >= 200 &&
           status.toInt() <= 299;
}

std::string failure(QNetworkReply& reply) {
    if (reply.error() != QNetworkReply::NoError) return reply.errorString().toStdString();
    return "the server answered with status " +
           reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toString().toStdString();
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Syncs one file or folder without following a link; false with errno set when it fails.
bool syncEntry(const fs::path& path, bool folder, const std::function<int(int)>& sync) {
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0));
    if (fd < 0) return false;
    const bool synced = sync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

// Every file and folder of the tree; a link is an entry of its folder, which the folder's sync
// covers.
bool syncTree(const fs::path& root, const std::function<int(int)>& sync) {
    if (!syncEntry(root, true, sync)) return false;
    std::error_code ec;
    for (fs::recursive_directory_iterator entry(root, ec), end; !ec && entry != end;
         entry.increment(ec)) {
        const fs::file_type type = entry->symlink_status(ec).type();
        if (ec) break;
        if ((type == fs::file_type::regular || type == fs::file_type::directory) &&
            !syncEntry(entry->path(), type == fs::file_type::directory, sync))
            return false;
    }
    if (ec) errno = ec.value();
    return !ec;
}

// "." + `bundleName` + `suffix` and mkdtemp's characters: a folder this updater made.
bool isTemporaryName(const std::string& name, const std::string& bundleName, const char* suffix) {
    const std::string prefix = "." + bundleName + suffix;
    return name.size() == prefix.size() + kTemporaryNameCharacters && name.starts_with(prefix);
}

// The user's own hidden work folders in `folder`; links and other users' folders stay.
void removeLeftovers(const fs::path& folder, const std::string& bundleName, const char* suffix) {
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        struct stat status {};
        if (isTemporaryName(entry.path().filename().string(), bundleName, suffix) &&
            ::lstat(entry.path().c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
            status.st_uid == ::getuid())
            leftovers.push_back(entry.path());
    }
    for (const fs::path& leftover : leftovers)
        fs::remove_all(leftover, ec);
}

} // namespace

// One update cycle, from reading the feed to installing; a child of the updater. It removes its
// work folder when it ends without installing.
class BundleUpdater::Cycle : public QObject {
public:
    Cycle(BundleUpdater& updater, UpdateCheck check)
        : QObject(&updater)
        , updater_(updater)
        , options_(updater.options_)
        , check_(check) {}

    ~Cycle() override {
        if (feedDeadline_) feedDeadline_->cancel();
        closeProgress();
        if (reply_) {
            reply_->disconnect(this);
            reply_->abort();
            reply_->deleteLater();
        }
        removeFiles();
    }

    void start() {
        const auto feed = options_.delegate.feedURLString();
        if (!feed || feed->isEmpty())
            return fail(makeError(UpdaterErrorCode::invalidFeedURL, "No update feed is set."));
        const QUrl url(*feed, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().compare(u"https", Qt::CaseInsensitive) != 0)
            return fail(
                makeError(UpdaterErrorCode::insecureFeedURL,
                          "The update feed " + feed->toStdString() + " is not an https address."));
        reply_ = options_.network.get(request(url));
        feedDeadline_ = options_.clock.after(options_.feedDeadline, [this] { feedTookTooLong(); });
        connect(reply_, &QNetworkReply::readyRead, this, [this] {
            if (reply_->bytesAvailable() > kMaxFeedBytes) feedTooLarge();
        });
        connect(reply_, &QNetworkReply::finished, this, &Cycle::feedArrived);
    }

private:
    QNetworkRequest request(const QUrl& url) const {
        return uncachedRequest(url, options_.transferTimeout, options_.tls);
    }

    QNetworkReply* takeReply() {
        if (feedDeadline_) feedDeadline_->cancel();
        feedDeadline_.reset();
        QNetworkReply* reply = reply_;
        reply_ = nullptr;
        reply->disconnect(this);
        reply->deleteLater();
        return reply;
    }

    void feedTookTooLong() {
        takeReply()->abort();
        fail(makeError(UpdaterErrorCode::appcast,
                       "An error occurred in retrieving update information: the server did not "
                       "send the feed within " +
                           std::to_string(options_.feedDeadline.count() / 1000) + " seconds"));
    }

    // Such a feed is no feed the app can use: a parse failure, without reading the rest.
    void feedTooLarge() {
        takeReply()->abort();
        fail(makeError(UpdaterErrorCode::appcastParse,
                       AppcastParseError(AppcastParseErrorCode::xmlFailed).what()));
    }

    void feedArrived() {
        QNetworkReply& reply = *takeReply();
        if (!succeeded(reply))
            return fail(
                makeError(UpdaterErrorCode::appcast,
                          "An error occurred in retrieving update information: " + failure(reply)));
        std::vector<UpdateItem> items;
        try {
            items = AppcastFeed::parse(reply.readAll());
        } catch (const AppcastParseError& error) {
            return fail(makeError(UpdaterErrorCode::appcastParse, error.what()));
        }

        auto found = newestAbove(items, updater_.installedBuild_);
        if (found && check_ == UpdateCheck::updatesInBackground) {
            // A skipped build, and anything older, is not offered again unasked.
            const auto skipped = parseSignedDecimal(
                options_.defaults.value(kSkippedVersionKey).toString().toStdString());
            if (skipped && *parseSignedDecimal(found->version) <= *skipped) found.reset();
        }
        if (!found) return noUpdate();
        item_ = std::move(*found);
        offer();
    }

    void noUpdate() {
        const UpdateError error =
            makeError(UpdaterErrorCode::noUpdate, "Brimo " + options_.bundleDisplayVersion +
                                                      " (build " + options_.bundleVersion +
                                                      ") is the newest version available.");
        options_.delegate.didNotFindUpdate(error);
        if (check_ == UpdateCheck::updates) {
            const QPointer<Cycle> alive(this);
            options_.prompt.showNoUpdate(error);
            if (!alive) return;
        }
        finish(error);
    }

    void offer() {
        options_.delegate.didFindValidUpdate(item_);
        if (!isReplaceable(options_.bundle))
            return fail(makeError(UpdaterErrorCode::installationWriteNoPermission,
                                  "Brimo " + item_.displayVersion +
                                      " is available, but this copy of Brimo cannot be replaced "
                                      "by its user: updates come from the package manager."));

        const QPointer<Cycle> alive(this);
        const auto choice = options_.prompt.askToInstall(item_, options_.bundleDisplayVersion);
        if (!alive) return;
        if (choice == UpdatePrompt::Choice::skipThisVersion) {
            options_.defaults.setValue(kSkippedVersionKey, QString::fromStdString(item_.version));
            options_.defaults.sync();
        }
        if (choice != UpdatePrompt::Choice::installNow) return finish(std::nullopt);
        download();
    }

    void download() {
        const fs::path folder = options_.workDirectory.value_or(options_.bundle.parent_path());
        std::string pattern =
            (folder / ("." + std::string(kBundleName) + kWorkFolderSuffix + "XXXXXX"));
        if (!::mkdtemp(pattern.data()))
            return fail(makeError(UpdaterErrorCode::temporaryDirectory,
                                  "Could not make a folder for the update in " + folder.string() +
                                      ": " + errnoText(errno)));
        work_ = pattern;
        archive_ =
            ::open((work_ / "archive.tar.gz").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (archive_ < 0)
            return fail(makeError(UpdaterErrorCode::temporaryDirectory,
                                  "Could not make the download file: " + errnoText(errno)));

        const QNetworkRequest get = request(item_.url);
        options_.delegate.willDownloadUpdate(item_, get);
        reply_ = options_.network.get(get);
        connect(reply_, &QNetworkReply::readyRead, this, &Cycle::receive);
        connect(reply_, &QNetworkReply::finished, this, &Cycle::downloadEnded);
        downloading_ = true;
        options_.prompt.downloadStarted(item_, [alive = QPointer<Cycle>(this)] {
            if (alive) alive->cancelDownload();
        });
    }

    void cancelDownload() {
        if (!downloading_ || !reply_) return;
        takeReply()->abort();
        cancelled_ = true;
        downloadFailed("the download was cancelled");
    }

    void closeProgress() {
        if (!downloading_) return;
        downloading_ = false;
        options_.prompt.downloadEnded();
    }

    void receive() {
        const QByteArray bytes = reply_->readAll();
        if (!writeAll(archive_, bytes.constData(), static_cast<size_t>(bytes.size()))) {
            takeReply()->abort();
            return downloadFailed("writing the download failed: " + errnoText(errno));
        }
        received_ += bytes.size();
        if (item_.length && received_ > *item_.length) {
            takeReply()->abort();
            return downloadFailed("the server sent more than the " + std::to_string(*item_.length) +
                                  " bytes the feed announced");
        }
        if (!item_.length && received_ > options_.maximumDownloadBytes) {
            takeReply()->abort();
            return downloadFailed("the server sent more than the " +
                                  std::to_string(options_.maximumDownloadBytes) +
                                  " bytes an update may have");
        }
        options_.prompt.downloadProgress(received_, item_.length);
    }

    void downloadEnded() {
        const QPointer<Cycle> alive(this);
        if (reply_->bytesAvailable() > 0) receive();
        if (!alive || !reply_) return; // receive() failed the cycle
        QNetworkReply& reply = *takeReply();
        closeProgress();
        if (!succeeded(reply)) return downloadFailed(failure(reply));
        if (item_.length && received_ != *item_.length)
            return downloadFailed("received " + std::to_string(received_) + " of the " +
                                  std::to_string(*item_.length) + " bytes the feed announced");
        if (::fsync(archive_) != 0)
            return downloadFailed("writing the download failed: " + errnoText(errno));
        options_.delegate.didDownloadUpdate(item_);
        verify();
    }

    void downloadFailed(const std::string& reason) {
        closeProgress();
        const UpdateError error =
            makeError(UpdaterErrorCode::download, "The update could not be downloaded: " + reason);
        options_.delegate.failedToDownloadUpdate(item_, error);
        fail(error);
    }

    // The signature covers exactly the bytes that are unpacked next: both read the same open
    // file, never its path again. The check runs on a worker; a cycle gone by then hears nothing.
    void verify() {
        if (item_.edSignature.empty())
            return fail(makeError(UpdaterErrorCode::signature,
                                  "The update is not signed, so it was not installed."));
        if (::lseek(archive_, 0, SEEK_SET) != 0) return fail(invalidSignature());
        verifyDescriptorInBackground(archive_, item_.edSignature, options_.publicKey,
                                     [alive = QPointer<Cycle>(this)](bool valid) {
                                         if (!alive) return;
                                         valid ? alive->extract() : alive->fail(invalidSignature());
                                     });
    }

    static UpdateError invalidSignature() {
        return makeError(UpdaterErrorCode::signature,
                         "The update's signature is not valid, so it was not installed.");
    }

    void extract() {
        options_.delegate.willExtractUpdate(item_);
        extracted_ = work_ / "extracted";
        std::error_code ec;
        fs::create_directory(extracted_, ec);
        if (ec || ::lseek(archive_, 0, SEEK_SET) != 0)
            return fail(makeError(UpdaterErrorCode::unarchiving,
                                  "The update could not be unpacked: " + ec.message()));
        auto* tar = new QProcess(this);
        const int archive = archive_;
        tar->setChildProcessModifier([archive] { ::dup2(archive, STDIN_FILENO); });
        tar->setStandardOutputFile(QProcess::nullDevice());
        connect(tar, &QProcess::finished, this, [this, tar] {
            tar->deleteLater();
            unpacked(*tar);
        });
        connect(tar, &QProcess::errorOccurred, this, [this, tar](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart) return;
            tar->deleteLater();
            fail(makeError(UpdaterErrorCode::unarchiving, "The update could not be unpacked: " +
                                                              tar->errorString().toStdString()));
        });
        tar->start("/usr/bin/tar", {"-xzf", "-", "--no-same-owner", "-C",
                                    QString::fromStdString(extracted_.string())});
    }

    void unpacked(QProcess& tar) {
        if (tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0)
            return fail(makeError(
                UpdaterErrorCode::unarchiving,
                "The update could not be unpacked: " +
                    QString::fromLocal8Bit(tar.readAllStandardError()).trimmed().toStdString()));
        std::vector<fs::path> entries;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(extracted_, ec))
            entries.push_back(entry.path());
        const fs::path bundle = extracted_ / kBundleName;
        if (ec || entries != std::vector<fs::path>{bundle} ||
            fs::symlink_status(bundle, ec).type() != fs::file_type::directory)
            return fail(makeError(UpdaterErrorCode::unarchiving,
                                  std::string("The update must hold exactly one ") + kBundleName +
                                      " and nothing else."));
        const auto build = infoDictionaryString(infoDictionaryPath(bundle), "CFBundleVersion");
        if (build != item_.version)
            return fail(makeError(UpdaterErrorCode::validation,
                                  "The update holds build " + build.value_or("(none)") +
                                      ", not the build " + item_.version + " the feed announced."));
        options_.delegate.didExtractUpdate(item_);
        install(bundle);
    }

    // One rename swaps the new bundle in and the running one out into the work folder, where it
    // stays until this process has exited. A power cut must find one whole copy or the other: the
    // new tree is on disk before the swap, and the swap before the relaunch removes the old copy.
    void install(const fs::path& bundle) {
        options_.delegate.willInstallUpdate(item_);
        if (!syncTree(bundle, options_.sync) || !syncEntry(extracted_, true, options_.sync) ||
            ::renameat2(AT_FDCWD, bundle.c_str(), AT_FDCWD, options_.bundle.c_str(),
                        RENAME_EXCHANGE) != 0)
            return fail(makeError(UpdaterErrorCode::fileCopy,
                                  "The update could not be put in place: " + errnoText(errno)));
        // Both folders changed in the swap. Past it nothing can be undone, so a failure here does
        // not stop the install.
        syncEntry(options_.bundle.parent_path(), true, options_.sync);
        syncEntry(extracted_, true, options_.sync);
        installed_ = true;
        finish(std::nullopt);
        MoveToApplicationsService::runShell(
            // Once this process has gone, the previous copy (moved into the work folder) is removed
            // before the new copy starts.
            relaunchScript(options_.processIdentifier, options_.bundle,
                           "/bin/rm -rf " + shellQuoted(work_.string())));
        if (options_.terminate) options_.terminate();
    }

    // A cancelled download is the user's own choice: no error box follows it.
    void fail(const UpdateError& error) {
        options_.delegate.didAbortWithError(error);
        if (check_ == UpdateCheck::updates && !cancelled_) {
            const QPointer<Cycle> alive(this);
            options_.prompt.showError(error);
            if (!alive) return;
        }
        finish(error);
    }

    // Without an install nothing of the cycle stays on disk; after one the work folder holds the
    // replaced bundle, which the relaunch removes.
    void removeFiles() {
        if (archive_ >= 0) ::close(archive_);
        archive_ = -1;
        if (!work_.empty() && !installed_) {
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
        work_.clear();
    }

    // The cycle's last report, once its files are gone. After an install the updater stays busy:
    // the app is going away.
    void finish(const std::optional<UpdateError>& error) {
        if (!installed_) removeFiles();
        options_.delegate.didFinishUpdateCycle(check_, error);
        if (!installed_) updater_.cycleEnded();
        deleteLater();
    }

    BundleUpdater& updater_;
    const Options& options_;
    const UpdateCheck check_;
    QPointer<QNetworkReply> reply_;
    std::shared_ptr<AppTimer> feedDeadline_;
    UpdateItem item_;
    fs::path work_;
    fs::path extracted_;
    int archive_ = -1;
    int64_t received_ = 0;
    bool downloading_ = false;
    bool cancelled_ = false;
    bool installed_ = false;
};

BundleUpdater::BundleUpdater(Options options, QObject* parent)
    : UpdaterController(parent)
    , options_(std::move(options)) {}

BundleUpdater::~BundleUpdater() {
    delete cycle_;
}

void BundleUpdater::startUpdater() {
    if (started_) throw UpdaterStartError("The updater is already started.");
    const auto build = parseSignedDecimal(options_.bundleVersion);
    if (!build)
        throw UpdaterStartError("The app's CFBundleVersion \"" + options_.bundleVersion +
                                "\" is not a build number.");
    if (!isPublicKey(options_.publicKey))
        throw UpdaterStartError(std::string("The app has no valid ") + kPublicKeyInfoKey +
                                ", so updates could not be verified.");
    installedBuild_ = *build;
    started_ = true;
    const fs::path folder = options_.bundle.parent_path();
    removeLeftovers(options_.workDirectory.value_or(folder), kBundleName, kWorkFolderSuffix);
    removeLeftovers(folder, options_.bundle.filename().string(), kProbeFolderSuffix);
    setCanCheck(true);
}

void BundleUpdater::checkForUpdatesInBackground() {
    startCycle(UpdateCheck::updatesInBackground);
}

void BundleUpdater::checkForUpdates() {
    startCycle(UpdateCheck::updates);
}

bool BundleUpdater::canCheckForUpdates() const {
    return canCheck_;
}

void BundleUpdater::startCycle(UpdateCheck check) {
    if (!canCheck_) return;
    setCanCheck(false);
    cycle_ = new Cycle(*this, check);
    cycle_->start();
}

void BundleUpdater::cycleEnded() {
    cycle_ = nullptr;
    setCanCheck(true);
}

void BundleUpdater::setCanCheck(bool value) {
    if (canCheck_ == value) return;
    canCheck_ = value;
    emit canCheckForUpdatesChanged(value);
}

} // namespace brimo::app::updates
