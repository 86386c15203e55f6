#include "shared/ipc/ServiceListener.h"

#include "shared/Log.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/detail/BusPeer.h"

#include <asio/local/stream_protocol.hpp>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace brimo::ipc {

namespace {

using log::xpcLog;
using Acceptor = asio::local::stream_protocol::acceptor;

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

int bindSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) fail(ENAMETOOLONG, path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Only the lock holder gets here, so a socket file still present is a dead instance's.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) fail(errno, "unlink " + path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail(errno, "socket");
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        close(fd);
        fail(error, "listen on " + path);
    }
    return fd;
}

} // namespace

struct ServiceListener::Impl : std::enable_shared_from_this<Impl> {
    asio::any_io_executor loop;
    std::string path;
    std::shared_ptr<ListenerDelegate> delegate;
    std::optional<Acceptor> acceptor;
    int lockFd = -1;
    bool boundPath = false;
    std::set<std::shared_ptr<ServiceConnection>> connections;

    int listeningSocket() {
        if (sd_listen_fds(1) >= 1 &&
            sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) > 0) {
            xpcLog.info("using the listening socket passed by systemd");
            return SD_LISTEN_FDS_START;
        }
        prepareSocketDirectory(std::filesystem::path(path).parent_path().string());
        const std::string lockPath = path + ".lock";
        lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd < 0) fail(errno, "open " + lockPath);
        if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            releaseLock();
            fail(error == EWOULDBLOCK ? EADDRINUSE : error, "another instance serves " + path);
        }
        const int fd = bindSocket(path);
        boundPath = true;
        return fd;
    }

    void releaseLock() {
        if (lockFd >= 0) close(lockFd);
        lockFd = -1;
    }

    void accept() {
        acceptor->async_accept([self = shared_from_this()](std::error_code ec,
                                                           asio::local::stream_protocol::socket s) {
            if (ec == asio::error::operation_aborted || !self->acceptor) return;
            if (ec)
                xpcLog.error("accept failed: %s", ec.message().c_str());
            else
                self->admit(s.release());
            self->accept();
        });
    }

    void admit(int fd) {
        ucred peer{};
        socklen_t length = sizeof(peer);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) {
            xpcLog.error("refused connection from uid %u pid %d", unsigned(peer.uid),
                         int(peer.pid));
            close(fd);
            return;
        }
        std::shared_ptr<ServiceConnection> connection;
        try {
            connection = std::make_shared<ServiceConnection>(
                detail::BusPeer::adopt(loop, fd, detail::BusPeer::Role::server), peer.uid,
                peer.pid);
        } catch (const std::system_error& e) {
            xpcLog.error("connection setup failed: %s", e.what());
            return;
        }
        connections.insert(connection);
        connection->setClosed([weak = weak_from_this(), raw = connection.get()] {
            if (auto self = weak.lock())
                std::erase_if(self->connections, [raw](auto& c) { return c.get() == raw; });
        });
        if (!delegate || !delegate->shouldAcceptNewConnection(connection)) {
            connections.erase(connection);
            connection->invalidate();
        }
    }

    void stop() {
        if (acceptor) {
            acceptor->close();
            acceptor.reset();
        }
        if (boundPath) unlink(path.c_str());
        boundPath = false;
        releaseLock();
        for (auto& connection : std::set(connections))
            connection->invalidate();
    }
};

ServiceListener::ServiceListener(asio::any_io_executor loop, std::string socketPath)
    : impl_(std::make_shared<Impl>()) {
    impl_->loop = std::move(loop);
    impl_->path = std::move(socketPath);
}

ServiceListener::~ServiceListener() {
    impl_->stop();
}

void ServiceListener::setDelegate(std::shared_ptr<ListenerDelegate> delegate) {
    impl_->delegate = std::move(delegate);
}

void ServiceListener::resume() {
    if (impl_->acceptor) return;
    const int fd = impl_->listeningSocket();
    impl_->acceptor.emplace(impl_->loop, asio::local::stream_protocol(), fd);
    impl_->accept();
}

void ServiceListener::invalidate() {
    impl_->stop();
}

} // namespace brimo::ipc
