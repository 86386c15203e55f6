#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>

// One running app per user session. A later launch hands over to the running copy, which
// brings its window to the front, and ends; so a login item, a second start from the desktop's
// launcher or a switch to the running copy never leaves two icons in the tray.
namespace brimo::app {

class AppInstance : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kSocketName = "Ozm.Tarvel.Mac.app";

    // The socket in the user's runtime folder, beside the service's.
    explicit AppInstance(QString socketPath = defaultSocketPath());
    ~AppInstance() override;

    static QString defaultSocketPath();

    // True when another copy answers and has been asked to show its window; asks again for
    // as long as `patience`. Blocks for a short, bounded while at most.
    bool activateRunningCopy(std::chrono::milliseconds patience = {});
    // Makes this copy the one that runs: an exclusive lock beside the socket, held while this
    // object lives. False when another copy holds it: one that is starting, and answers once it
    // serves. Two launches at once (the login item and a click) both find nobody answering;
    // without the lock, the second would take the first one's socket.
    bool claim();
    // Serves later launches from now on: `reopen` runs on the main thread for each. A socket
    // left by a copy that died is replaced. False (logged) when it cannot listen.
    bool serve(std::function<void()> reopen);

private:
    bool prepareFolder() const;
    bool askRunningCopy();

    QString socketPath_;
    int lock_ = -1;
    QLocalServer server_;
    std::function<void()> reopen_;
};

} // namespace brimo::app
