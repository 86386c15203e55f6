#pragma once

#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/RemoteProxies.h"

#include <functional>
#include <memory>
#include <sys/types.h>

namespace brimo::ipc {

namespace detail {
class BusPeer;
}

// One accepted client connection of the service. The listener keeps it alive until it is
// invalidated; set it up in ListenerDelegate::shouldAcceptNewConnection, then resume() it. A
// peer closing its end invalidates it (there is no interruption on this side). Loop thread only.
class ServiceConnection : public std::enable_shared_from_this<ServiceConnection> {
public:
    ServiceConnection(std::shared_ptr<detail::BusPeer> peer, uid_t uid, pid_t pid);
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Served at the bridge object path once resumed; kept alive by the connection, so it must
    // not hold its connection strongly.
    void setExportedObject(std::shared_ptr<TarvelBridgeHostProtocol> object);
    // Runs once, on the loop, when the peer closed or invalidate() was called, after every
    // pending call's error handler.
    void setInvalidationHandler(std::function<void()> handler);
    RemoteBridgeClient remoteObjectProxy(ErrorHandler onError);
    void resume();
    void invalidate();

    uid_t peerUid() const { return uid_; }
    pid_t peerPid() const { return pid_; }

private:
    friend class ServiceListener;
    void setClosed(std::function<void()> onClosed);

    std::shared_ptr<detail::BusPeer> peer_;
    std::shared_ptr<TarvelBridgeHostProtocol> exported_;
    std::function<void()> invalidationHandler_;
    std::function<void()> onClosed_;
    uid_t uid_;
    pid_t pid_;
};

} // namespace brimo::ipc
