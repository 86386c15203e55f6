#include "shared/ipc/ServiceConnection.h"

#include "shared/ipc/Names.h"
#include "shared/ipc/detail/BusPeer.h"

namespace brimo::ipc {

ServiceConnection::ServiceConnection(std::shared_ptr<detail::BusPeer> peer, uid_t uid, pid_t pid)
    : peer_(std::move(peer))
    , uid_(uid)
    , pid_(pid) {}

ServiceConnection::~ServiceConnection() = default;

void ServiceConnection::setExportedObject(std::shared_ptr<TarvelBridgeHostProtocol> object) {
    exported_ = std::move(object);
}

void ServiceConnection::setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
}

RemoteBridgeClient ServiceConnection::remoteObjectProxy(ErrorHandler onError) {
    return RemoteBridgeClient(peer_, std::move(onError));
}

void ServiceConnection::resume() {
    if (exported_) {
        peer_->exportObject(kHostInterface, [object = exported_](const detail::Member& member,
                                                                 Values args,
                                                                 std::unique_ptr<ReplySink> reply) {
            detail::dispatch(*object, member, std::move(args), std::move(reply));
        });
    }
    // Weak: a connection nobody holds any more just closes with its bus.
    peer_->setClosedHandler([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (auto handler = std::move(self->invalidationHandler_)) handler();
        if (auto onClosed = std::move(self->onClosed_)) onClosed();
    });
    peer_->start();
}

void ServiceConnection::invalidate() {
    peer_->close();
}

void ServiceConnection::setClosed(std::function<void()> onClosed) {
    onClosed_ = std::move(onClosed);
}

} // namespace brimo::ipc
