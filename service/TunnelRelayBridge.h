#pragma once

#include "service/BridgeClientConnection.h"
#include "service/tunnel/TunnelEngine.h"
#include "shared/Clock.h"
#include "shared/SerialGate.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace brimo {

class BridgeCore;

inline constexpr uint16_t relayPort = 33325;

enum class TunnelRelayTransportError { noDevices, notConnected, payloadTooLarge, tunnelIOFailed };

class TunnelRelayFailure : public std::runtime_error {
public:
    explicit TunnelRelayFailure(TunnelRelayTransportError error);
    TunnelRelayTransportError error() const { return error_; }

private:
    TunnelRelayTransportError error_;
};

// What the phone may ask of the volume besides forwarding; called on the loop, must not block.
class PhonePushActions {
public:
    virtual ~PhonePushActions() = default;
    virtual void itemMutationPoke(const Bytes& payload) = 0;
    virtual void mountControl(const Bytes& payload) = 0;
};

// Opens the byte stream to the phone's port; null when no tunnel could be established.
using RelayTransportFactory =
    std::function<asio::awaitable<std::shared_ptr<TunnelTransport>>(uint16_t port)>;

// The one place that binds the tunnel engine to the phone and sends it requests; receives what
// the phone pushes and records when it was last heard from. An actor on the event loop.
class TunnelRelayBridge {
public:
    using RelayReply = std::tuple<Bytes, int64_t, int64_t>;

    static TunnelRelayBridge& shared();

    TunnelRelayBridge(asio::any_io_executor loop, TunnelEngine& engine, BridgeCore& core,
                      Clock& clock, PhonePushActions& actions, RelayTransportFactory transports);

    // (status, payload) of the phone's response. Throws TunnelRelayFailure.
    asio::awaitable<TunnelMessage> request(uint16_t code, Bytes payload, uint16_t port);

    // request() on the relay port; after a tunnel that could not be connected or failed in
    // transit, resets the tunnel and tries once more.
    asio::awaitable<TunnelMessage> requestRetryingOnce(uint16_t code, Bytes payload);

    // Stops the engine and drops the usbmux connection to the relay port, so that the next
    // request builds a fresh one. Waits while the link is held for a speed test.
    asio::awaitable<void> resetTunnel();
    // The same without waiting, for the holder of the link.
    asio::awaitable<void> dropTunnel();

    // Keeps relay traffic off the phone's port while a speed test owns it: requests and tunnel
    // resets wait until every hold is gone. Taking a hold drops the current tunnel.
    class LinkHold {
    public:
        explicit LinkHold(TunnelRelayBridge* bridge)
            : bridge_(bridge) {}
        LinkHold(LinkHold&& other) noexcept
            : bridge_(std::exchange(other.bridge_, nullptr)) {}
        LinkHold& operator=(LinkHold&&) = delete;
        ~LinkHold();

    private:
        TunnelRelayBridge* bridge_;
    };
    asio::awaitable<LinkHold> holdLink();
    // Returns once no hold is left.
    asio::awaitable<void> linkAvailable();

    // The extension's pass-through: (response, UsbMuxRelayError, RelayDeviceStatus).
    asio::awaitable<RelayReply> relayToUsbMux(HostID host, int64_t code, Bytes param);

    // Called for every notification frame the phone pushes.
    void handlePhonePush(uint16_t code, const Bytes& payload);

    std::optional<Clock::time_point> lastIOSContact() const;
    void noteIOSContact();

private:
    asio::awaitable<RelayReply> relayOnce(uint16_t code, Bytes param);
    void forwardToExtension(uint16_t code, const Bytes& payload);

    asio::any_io_executor loop_;
    TunnelEngine& engine_;
    BridgeCore& core_;
    Clock& clock_;
    PhonePushActions& actions_;
    RelayTransportFactory transports_;
    SerialGate bindGate_;
    int linkHolds_ = 0;
    asio::steady_timer linkReleased_;

    mutable std::mutex contactLock_;
    std::optional<Clock::time_point> lastIOSContact_;
};

// The usbmux tunnel to the first attached device's `port`, ensured on the blocking pool.
asio::awaitable<std::shared_ptr<TunnelTransport>> openUsbMuxRelayTransport(uint16_t port);

} // namespace brimo
