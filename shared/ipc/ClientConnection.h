#pragma once

#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/RemoteProxies.h"
#include "shared/ipc/ServiceLauncher.h"

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

namespace brimo::ipc {

struct ConnectOptions {
    // Starts the service when nobody listens; none: fail at once.
    std::shared_ptr<ServiceLauncher> launcher;
    // How long to keep retrying the connect after a launch.
    std::chrono::milliseconds launchWait{5000};
    std::chrono::milliseconds retryInterval{50};
};

// A client's connection to the service, living on the loop it is given (loop thread only).
// It connects on the first message after resume(), queueing messages meanwhile. When the
// service closes an established connection, the interruption handler runs and the next
// message connects again (starting the service on demand). When no connection can be made,
// or after invalidate(), the invalidation handler runs and the connection is dead for good.
// Destroying it (on the loop thread) closes it without running any handler, its proxies'
// error handlers included.
class ClientConnection {
public:
    // Resolves the service's socket path from its name (see serviceSocketPath).
    static std::shared_ptr<ClientConnection>
    connect(asio::any_io_executor loop, std::string_view serviceName, ConnectOptions options = {});
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Served to the service on every (re)connection.
    void setExportedObject(std::shared_ptr<TarvelBridgeClientProtocol> object);
    void setInvalidationHandler(std::function<void()> handler);
    void setInterruptionHandler(std::function<void()> handler);
    RemoteBridgeHost remoteObjectProxy(ErrorHandler onError);
    void resume();
    void invalidate();

private:
    struct Impl;
    explicit ClientConnection(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace brimo::ipc
