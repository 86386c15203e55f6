#pragma once

#include "service/BridgeCore.h"
#include "service/MountService.h"
#include "shared/Clock.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_signal.hpp>
#include <memory>

namespace brimo {

class TunnelRelayBridge;

// Watches whether the phone app answers on the relay port and protects a mounted volume from a
// phone that went away. At most one loop runs: while a phone is attached and nothing is
// mounted, the probe loop records whether the relay is reachable; while mounted, the keepalive
// makes sure the phone was heard from at least every 3 s and force-unmounts after three failed
// pings in a row. A USB disconnect force-unmounts at once.
//
// An actor on the event loop; each event runs as its own task there.
class RelayProbeCoordinator final : public UsbLinkObserver, public VolumeEvents {
public:
    static RelayProbeCoordinator& shared();

    RelayProbeCoordinator(asio::any_io_executor loop, Clock& clock, BridgeCore& core,
                          TunnelRelayBridge& relay, MountService& mounts);

    void usbConnected() override;
    void usbDisconnected() override;
    void volumeMounted() override;
    void volumeUnmounted() override;

    bool relayReachable() const { return relayReachable_; }
    // Whether a probe or keepalive loop is running.
    bool isLooping() const { return probeTask_ != nullptr; }

private:
    struct LoopTask {
        bool cancelled = false;
        asio::cancellation_signal stopPause;
    };
    using LoopHandle = std::shared_ptr<LoopTask>;

    asio::awaitable<void> onUsbConnected();
    asio::awaitable<void> onUsbDisconnected();
    asio::awaitable<void> onVolumeMounted();
    asio::awaitable<void> onVolumeUnmounted();

    void startProbe();
    void startMountedKeepalive();
    void cancelLoop();
    void loopEnded(const LoopHandle& task);
    asio::awaitable<void> probeLoop(LoopHandle task);
    asio::awaitable<void> keepaliveLoop(LoopHandle task);
    asio::awaitable<void> forceUnmountAfterLostRelay(LoopHandle task);
    enum class PingOutcome { answered, failed, timedOut };
    asio::awaitable<PingOutcome> ping();
    // Sleeps `d` unless the loop is cancelled first.
    asio::awaitable<void> pause(const LoopHandle& task, Clock::duration d);
    bool phoneAttached() { return core_.usbMuxConnection().has_value(); }

    asio::any_io_executor loop_;
    Clock& clock_;
    BridgeCore& core_;
    TunnelRelayBridge& relay_;
    MountService& mounts_;

    LoopHandle probeTask_;
    bool relayReachable_ = false;
};

} // namespace brimo
