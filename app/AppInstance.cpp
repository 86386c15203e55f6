#include "app/AppInstance.h"

#include "shared/Log.h"
#include "shared/ipc/Names.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace brimo::app {
namespace {

constexpr int kConnectMs = 500;
constexpr auto kAskAgain = std::chrono::milliseconds(100);
constexpr int kAnswerMs = 2000;
const QByteArray kReopen = "reopen\n";
const QByteArray kDone = "ok\n";

} // namespace

AppInstance::AppInstance(QString socketPath)
    : socketPath_(std::move(socketPath)) {}

AppInstance::~AppInstance() {
    server_.close();
    if (lock_ >= 0) ::close(lock_);
}

QString AppInstance::defaultSocketPath() {
    return QString::fromStdString(ipc::serviceSocketPath(kSocketName));
}

bool AppInstance::activateRunningCopy(std::chrono::milliseconds patience) {
    // Only a copy of this user's may answer: a folder somebody else made in /tmp is not asked.
    if (!prepareFolder()) return false;
    const auto end = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (askRunningCopy()) return true;
        if (std::chrono::steady_clock::now() + kAskAgain > end) return false;
        std::this_thread::sleep_for(kAskAgain);
    }
}

bool AppInstance::askRunningCopy() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kConnectMs)) return false;
    socket.write(kReopen);
    if (!socket.waitForBytesWritten(kConnectMs)) return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(kAnswerMs)) return false;
    return socket.readLine() == kDone;
}

// The fallback runtime folder may not exist before the service first ran.
bool AppInstance::prepareFolder() const {
    try {
        ipc::prepareSocketDirectory(QFileInfo(socketPath_).absolutePath().toStdString());
        return true;
    } catch (const std::system_error& error) {
        log::appLog.error("cannot use the folder of %s: %s", socketPath_.toStdString().c_str(),
                          error.what());
        return false;
    }
}

bool AppInstance::claim() {
    if (lock_ >= 0) return true;
    if (!prepareFolder()) return true; // nobody can serve there; this copy runs without
    const std::string path = socketPath_.toStdString() + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        log::appLog.error("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lock_ = fd;
    return true;
}

bool AppInstance::serve(std::function<void()> reopen) {
    reopen_ = std::move(reopen);
    if (!prepareFolder()) return false;
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered on it a moment ago: what is there was left by a copy that died.
    QLocalServer::removeServer(socketPath_);
    if (!server_.listen(socketPath_)) {
        log::appLog.error("cannot listen for later launches at %s: %s",
                          socketPath_.toStdString().c_str(),
                          server_.errorString().toStdString().c_str());
        return false;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > kReopen.size()) socket->abort();
                    return;
                }
                if (socket->readLine() != kReopen) {
                    socket->abort();
                    return;
                }
                socket->write(kDone);
                socket->disconnectFromServer();
                if (reopen_) reopen_();
            });
        }
    });
    return true;
}

} // namespace brimo::app
