#include "service/ServiceDelegate.h"

#include "service/BridgeCore.h"
#include "shared/Log.h"
#include "shared/ipc/RemoteProxies.h"
#include "shared/ipc/ServiceConnection.h"

namespace brimo {

using log::xpcLog;

namespace {

class ClientProxy final : public BridgeClientProxy {
public:
    explicit ClientProxy(ipc::RemoteBridgeClient remote)
        : remote_(std::move(remote)) {}
    void notifyClient(int64_t code, Bytes param) override {
        remote_.notifyClient(code, std::move(param));
    }

private:
    ipc::RemoteBridgeClient remote_;
};

// The registry's handle on an accepted connection. It does not keep the connection alive: the
// listener does, until the connection is invalidated.
class AcceptedConnection final : public BridgeClientConnection {
public:
    AcceptedConnection(std::weak_ptr<ipc::ServiceConnection> connection, const void* host)
        : connection_(std::move(connection))
        , host_(host) {}

    const void* exportedObject() const override { return host_; }

    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)> errorHandler) override {
        auto connection = connection_.lock();
        if (!connection) return nullptr;
        return std::make_shared<ClientProxy>(connection->remoteObjectProxy(
            [errorHandler = std::move(errorHandler)](const ipc::RemoteError& error) {
                errorHandler(error.message.empty() ? error.name : error.message);
            }));
    }

private:
    std::weak_ptr<ipc::ServiceConnection> connection_;
    const void* host_;
};

} // namespace

ServiceDelegate::ServiceDelegate(asio::any_io_executor loop, BridgeCore& core,
                                 TunnelRelayBridge& relay, TransferCoordinator& transfers,
                                 HostServices& services, std::filesystem::path infoDictionary)
    : loop_(std::move(loop))
    , core_(core)
    , relay_(relay)
    , transfers_(transfers)
    , services_(services)
    , infoDictionary_(std::move(infoDictionary)) {}

bool ServiceDelegate::shouldAcceptNewConnection(
    const std::shared_ptr<ipc::ServiceConnection>& connection) {
    xpcLog.info("accepted new connection");
    auto host =
        std::make_shared<Tarvel_XPC>(loop_, core_, relay_, transfers_, services_, infoDictionary_);
    auto accepted = std::make_shared<AcceptedConnection>(connection, host.get());
    core_.addPending(accepted);
    connection->setExportedObject(std::move(host));
    connection->setInvalidationHandler([this, accepted] {
        xpcLog.debug("connection invalidated");
        core_.connectionClosed(accepted.get());
    });
    connection->resume();
    return true;
}

} // namespace brimo
