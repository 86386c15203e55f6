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
    explicit ServiceDelegate(HostParts parts)
        : parts_(std::move(parts)) {}

    bool
    shouldAcceptNewConnection(const std::shared_ptr<ipc::ServiceConnection>& connection) override;

private:
    const HostParts parts_;
};

} // namespace brimo
