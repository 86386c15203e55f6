#include "shared/ipc/ClientConnection.h"

#include "shared/Log.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/detail/BusPeer.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace brimo::ipc {

namespace {

using detail::BusPeer;
using log::xpcLog;

// A connected socket, or -errno.
int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

// Nobody listens (yet), or the backlog is full for a moment.
bool worthRetrying(int error) {
    return error == ENOENT || error == ECONNREFUSED || error == EAGAIN;
}

} // namespace

struct ClientConnection::Impl : detail::CallTarget, std::enable_shared_from_this<Impl> {
    enum class State { suspended, idle, connecting, connected, invalid };
    struct Queued {
        const detail::Member* member;
        Values args;
        Callback<void(Values)> onReply;
        ErrorHandler onError;
    };

    Impl(asio::any_io_executor loop, std::string path, ConnectOptions options)
        : loop(loop)
        , path(std::move(path))
        , options(std::move(options))
        , retryTimer(loop) {}

    asio::any_io_executor loop;
    std::string path;
    ConnectOptions options;
    asio::steady_timer retryTimer;
    State state = State::suspended;
    std::shared_ptr<BusPeer> peer;
    std::vector<Queued> queued;
    std::shared_ptr<TarvelBridgeClientProtocol> exported;
    std::function<void()> invalidationHandler;
    std::function<void()> interruptionHandler;
    bool launched = false;
    std::chrono::steady_clock::time_point deadline;

    void call(const detail::Member& member, Values args, Callback<void(Values)> onReply,
              ErrorHandler onError) override {
        switch (state) {
        case State::connected:
            peer->call(member, std::move(args), std::move(onReply), std::move(onError));
            return;
        case State::invalid:
            if (onError)
                asio::post(loop, [onError = std::move(onError)] {
                    onError({kErrorInvalid, "the connection is invalidated"});
                });
            return;
        default:
            queued.push_back({&member, std::move(args), std::move(onReply), std::move(onError)});
            if (state == State::idle) startConnecting();
        }
    }

    void startConnecting() {
        state = State::connecting;
        launched = false;
        attempt();
    }

    void attempt() {
        if (state != State::connecting) return;
        const int fd = connectTo(path);
        if (fd >= 0) {
            established(fd);
            return;
        }
        const int error = -fd;
        if (worthRetrying(error) && options.launcher && !launched) {
            launched = true;
            deadline = std::chrono::steady_clock::now() + options.launchWait;
            if (!options.launcher->launch()) return giveUp("the service could not be started");
        }
        if (!launched || !worthRetrying(error) || std::chrono::steady_clock::now() >= deadline)
            return giveUp(strerror(error));
        retryTimer.expires_after(options.retryInterval);
        retryTimer.async_wait([weak = weak_from_this()](std::error_code ec) {
            if (auto self = weak.lock(); self && !ec) self->attempt();
        });
    }

    void established(int fd) {
        try {
            peer = BusPeer::adopt(loop, fd, BusPeer::Role::client);
        } catch (const std::system_error& e) {
            return giveUp(e.what());
        }
        if (exported)
            peer->exportObject(
                kClientInterface, [object = exported](const detail::Member& member, Values args,
                                                      std::unique_ptr<ReplySink> reply) {
                    detail::dispatch(*object, member, std::move(args), std::move(reply));
                });
        peer->setClosedHandler([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->peerClosed();
        });
        peer->start();
        state = State::connected;
        for (auto& q : std::exchange(queued, {}))
            peer->call(*q.member, std::move(q.args), std::move(q.onReply), std::move(q.onError));
    }

    void peerClosed() {
        peer.reset();
        if (state == State::invalid) {
            fireInvalidation();
            return;
        }
        xpcLog.error("connection to %s interrupted", path.c_str());
        state = State::idle;
        if (interruptionHandler) interruptionHandler();
    }

    void giveUp(const std::string& reason) {
        xpcLog.error("could not connect to %s: %s", path.c_str(), reason.c_str());
        invalidate();
    }

    void invalidate() {
        if (state == State::invalid) return;
        state = State::invalid;
        retryTimer.cancel();
        for (auto& q : std::exchange(queued, {}))
            if (q.onError)
                asio::post(loop, [onError = std::move(q.onError)] {
                    onError({kErrorInvalid, "the connection could not be made"});
                });
        if (peer)
            peer->close(); // peerClosed() fires the handler after the pending calls' errors
        else
            asio::post(loop, [self = shared_from_this()] { self->fireInvalidation(); });
    }

    // The owner is going away: close without running anything that may refer to it.
    void detach() {
        state = State::invalid;
        invalidationHandler = nullptr;
        interruptionHandler = nullptr;
        queued.clear();
        retryTimer.cancel();
        if (peer) peer->detach();
        peer.reset();
    }

    void fireInvalidation() {
        if (auto handler = std::move(invalidationHandler)) handler();
        interruptionHandler = nullptr;
    }
};

std::shared_ptr<ClientConnection> ClientConnection::connect(asio::any_io_executor loop,
                                                            std::string_view serviceName,
                                                            ConnectOptions options) {
    auto impl = std::make_shared<Impl>(loop, serviceSocketPath(serviceName), std::move(options));
    return std::shared_ptr<ClientConnection>(new ClientConnection(std::move(impl)));
}

ClientConnection::ClientConnection(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

ClientConnection::~ClientConnection() {
    impl_->detach();
}

void ClientConnection::setExportedObject(std::shared_ptr<TarvelBridgeClientProtocol> object) {
    impl_->exported = std::move(object);
}

void ClientConnection::setInvalidationHandler(std::function<void()> handler) {
    impl_->invalidationHandler = std::move(handler);
}

void ClientConnection::setInterruptionHandler(std::function<void()> handler) {
    impl_->interruptionHandler = std::move(handler);
}

RemoteBridgeHost ClientConnection::remoteObjectProxy(ErrorHandler onError) {
    return RemoteBridgeHost(impl_, std::move(onError));
}

void ClientConnection::resume() {
    if (impl_->state != Impl::State::suspended) return;
    impl_->state = Impl::State::idle;
    if (!impl_->queued.empty()) impl_->startConnecting();
}

void ClientConnection::invalidate() {
    impl_->invalidate();
}

} // namespace brimo::ipc
