#pragma once

#include "service/TarvelXPC.h"
#include "shared/ipc/ServiceListener.h"

#include <asio/any_io_executor.hpp>
#include <filesystem>

namespace brimo {

class BridgeCore;
class TransferCoordinator;
class TunnelRelayBridge;

// Accepts every connection: gives it its own Tarvel_XPC, records it with BridgeCore as pending
// and forgets it there when it closes.
class ServiceDelegate final : public ipc::ListenerDelegate {
public:
    ServiceDelegate(asio::any_io_executor loop, BridgeCore& core, TunnelRelayBridge& relay,
                    TransferCoordinator& transfers, HostServices& services,
                    std::filesystem::path infoDictionary);

    bool
    shouldAcceptNewConnection(const std::shared_ptr<ipc::ServiceConnection>& connection) override;

private:
    asio::any_io_executor loop_;
    BridgeCore& core_;
    TunnelRelayBridge& relay_;
    TransferCoordinator& transfers_;
    HostServices& services_;
    const std::filesystem::path infoDictionary_;
};

} // namespace brimo
