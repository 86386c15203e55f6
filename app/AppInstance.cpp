#include "app/AppInstance.h"

#include "shared/Log.h"
#include "shared/ipc/Names.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

namespace brimo::app {
namespace {

constexpr int kConnectMs = 500;
constexpr int kAnswerMs = 2000;
const QByteArray kReopen = "reopen\n";
const QByteArray kDone = "ok\n";

} // namespace

AppInstance::AppInstance(QString socketPath)
    : socketPath_(std::move(socketPath)) {}

AppInstance::~AppInstance() {
    server_.close();
}

QString AppInstance::defaultSocketPath() {
    return QString::fromStdString(ipc::serviceSocketPath(kSocketName));
}

bool AppInstance::activateRunningCopy() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kConnectMs)) return false;
    socket.write(kReopen);
    if (!socket.waitForBytesWritten(kConnectMs)) return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(kAnswerMs)) return false;
    return socket.readLine() == kDone;
}

bool AppInstance::serve(std::function<void()> reopen) {
    reopen_ = std::move(reopen);
    const QString folder = QFileInfo(socketPath_).absolutePath();
    // The fallback runtime folder may not exist before the service first ran.
    QDir().mkpath(folder);
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
