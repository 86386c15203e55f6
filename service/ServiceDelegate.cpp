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
    void echo(ipc::Callback<void()> done) override { remote_.echo(std::move(done)); }
    void benchmarkIngest(Bytes data, ipc::Callback<void(uint64_t)> done) override {
        remote_.benchmarkIngest(std::move(data), std::move(done));
    }
    void runExtToHostPing(int64_t count, ipc::Callback<void(double)> done) override {
        remote_.runExtToHostPing(count, std::move(done));
    }
    void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                             ipc::Callback<void(double)> done) override {
        remote_.benchmarkSendChunks(chunkSize, chunkCount, std::move(done));
    }

private:
    ipc::RemoteBridgeClient remote_;
};

// The registry's handle on an accepted connection. It does not keep the connection alive: the
// listener does, until the connection is invalidated.
class AcceptedConnection final : public BridgeClientConnection {
public:
    AcceptedConnection(std::weak_ptr<ipc::ServiceConnection> connection, HostID host)
        : connection_(std::move(connection))
        , host_(host) {}

    HostID exportedObject() const override { return host_; }

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
    HostID host_;
};

} // namespace

bool ServiceDelegate::shouldAcceptNewConnection(
    const std::shared_ptr<ipc::ServiceConnection>& connection) {
    xpcLog.info("accepted new connection");
    auto host = std::make_shared<Tarvel_XPC>(parts_);
    auto accepted = std::make_shared<AcceptedConnection>(connection, host->id());
    parts_.core.addPending(accepted);
    connection->setExportedObject(std::move(host));
    connection->setInvalidationHandler([this, accepted] {
        xpcLog.debug("connection invalidated");
        parts_.core.connectionClosed(accepted.get());
    });
    connection->resume();
    return true;
}

} // namespace brimo
