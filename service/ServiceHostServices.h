#pragma once

#include "service/TarvelXPC.h"
#include "service/TunnelRelayBridge.h"

namespace brimo {

class MountService;
class VolumeEvents;

// The running service's host services: the volume through the mount service, the unmount
// notice to the phone through the relay, and the probe coordinator told of the unmount.
class ServiceHostServices final : public HostServices {
public:
    ServiceHostServices(TunnelRelayBridge& relay, MountService& mounts, VolumeEvents& probe)
        : relay_(relay)
        , mounts_(mounts)
        , probe_(probe) {}
    asio::awaitable<void> forceUnmount() override;
    // Tunnel code 20; true when the phone answered with status 0.
    asio::awaitable<bool> notifyPhoneOfUnmount() override;
    void volumeUnmounted() override;

private:
    TunnelRelayBridge& relay_;
    MountService& mounts_;
    VolumeEvents& probe_;
};

// What the phone asks of the volume: mount control and item-mutation pokes, each run as a task
// of its own on the loop.
class PhoneVolumeRequests final : public PhonePushActions {
public:
    PhoneVolumeRequests(asio::any_io_executor loop, MountService& mounts, VolumeEvents& probe)
        : loop_(std::move(loop))
        , mounts_(mounts)
        , probe_(probe) {}
    void itemMutationPoke(const Bytes& payload) override;
    void mountControl(const Bytes& payload) override;

private:
    asio::any_io_executor loop_;
    MountService& mounts_;
    VolumeEvents& probe_;
};

} // namespace brimo
