#pragma once

#include "service/TarvelXPC.h"

namespace brimo {

class TunnelRelayBridge;

// The running service's host services: the unmount notice goes to the phone through the relay.
class ServiceHostServices final : public HostServices {
public:
    explicit ServiceHostServices(TunnelRelayBridge& relay)
        : relay_(relay) {}
    // Tunnel code 20; true when the phone answered with status 0.
    asio::awaitable<bool> notifyPhoneOfUnmount() override;

private:
    TunnelRelayBridge& relay_;
};

} // namespace brimo
