#include "service/TunnelRelayBridge.h"

#include "service/BridgeCore.h"
#include "service/MountService.h"
#include "service/RelayProbeCoordinator.h"
#include "service/ServiceHostServices.h"
#include "shared/messages/RelayLookupMessages.h"
#include "service/tunnel/UsbMuxTunnelTransport.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "shared/BridgeContract.h"
#include "shared/EventLoop.h"
#include "shared/Offload.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace brimo {
namespace {

using namespace std::chrono_literals;

constexpr int64_t code(UsbMuxRelayError error) {
    return static_cast<int64_t>(error);
}

int64_t relayErrorFor(TunnelRelayTransportError error) {
    switch (error) {
    case TunnelRelayTransportError::noDevices:
        return code(UsbMuxRelayError::noDevices);
    case TunnelRelayTransportError::notConnected:
        return code(UsbMuxRelayError::notConnected);
    case TunnelRelayTransportError::payloadTooLarge:
        return code(UsbMuxRelayError::payloadTooLarge);
    case TunnelRelayTransportError::tunnelIOFailed:
        return code(UsbMuxRelayError::tunnelIOFailed);
    }
    return code(UsbMuxRelayError::tunnelIOFailed);
}

const char* describe(TunnelRelayTransportError error) {
    switch (error) {
    case TunnelRelayTransportError::noDevices:
        return "no device to connect to";
    case TunnelRelayTransportError::notConnected:
        return "the tunnel to the phone is not connected";
    case TunnelRelayTransportError::payloadTooLarge:
        return "payload too large";
    case TunnelRelayTransportError::tunnelIOFailed:
        return "tunnel I/O failed";
    }
    return "relay failed";
}

tunnel_id firstDeviceTunnel(uint16_t port) {
    tunnel_id tunnel{};
    tunnel.port = port;
    return tunnel;
}

} // namespace

TunnelRelayFailure::TunnelRelayFailure(TunnelRelayTransportError error)
    : std::runtime_error(describe(error))
    , error_(error) {}

asio::awaitable<std::shared_ptr<TunnelTransport>> openUsbMuxRelayTransport(uint16_t port) {
    const tunnel_id tunnel = firstDeviceTunnel(port);
    const bool ensured = co_await offload([tunnel] { return usbmux_tunnel_ensure(&tunnel) != 0; });
    if (!ensured) co_return nullptr;
    co_return std::make_shared<UsbMuxTunnelTransport>(tunnel);
}

namespace {
// The volume's side is built on first use, after the bridge that the probe relies on.
struct SharedVolumeRequests final : PhonePushActions {
    void itemMutationPoke(const Bytes& payload) override { requests().itemMutationPoke(payload); }
    void mountControl(const Bytes& payload) override { requests().mountControl(payload); }
    static PhoneVolumeRequests& requests() {
        static PhoneVolumeRequests instance(mainLoop().get_executor(), MountService::shared(),
                                            RelayProbeCoordinator::shared());
        return instance;
    }
};
} // namespace

TunnelRelayBridge& TunnelRelayBridge::shared() {
    static SharedVolumeRequests actions;
    static TunnelRelayBridge bridge(mainLoop().get_executor(), TunnelEngine::shared(),
                                    BridgeCore::shared(), Clock::current(), actions,
                                    openUsbMuxRelayTransport);
    return bridge;
}

TunnelRelayBridge::TunnelRelayBridge(asio::any_io_executor loop, TunnelEngine& engine,
                                     BridgeCore& core, Clock& clock, PhonePushActions& actions,
                                     RelayTransportFactory transports)
    : loop_(std::move(loop))
    , engine_(engine)
    , core_(core)
    , clock_(clock)
    , actions_(actions)
    , transports_(std::move(transports))
    , bindGate_(loop_)
    , linkReleased_(loop_, asio::steady_timer::time_point::max()) {}

std::optional<Clock::time_point> TunnelRelayBridge::lastIOSContact() const {
    std::lock_guard guard(contactLock_);
    return lastIOSContact_;
}

void TunnelRelayBridge::noteIOSContact() {
    const auto now = clock_.now();
    std::lock_guard guard(contactLock_);
    if (!lastIOSContact_ || *lastIOSContact_ < now) lastIOSContact_ = now;
}

asio::awaitable<TunnelMessage> TunnelRelayBridge::request(uint16_t code, Bytes payload,
                                                          uint16_t port) {
    co_await linkAvailable();
    const std::string key = "relay:" + std::to_string(port);
    if (engine_.tunnelKey() != key) {
        // Requests that find the engine unbound at the same time bind it once, not each.
        auto binding = co_await bindGate_.acquire();
        if (engine_.tunnelKey() != key) {
            co_await engine_.stop();
            auto transport = co_await transports_(port);
            if (!transport) throw TunnelRelayFailure(TunnelRelayTransportError::notConnected);
            engine_.bind(
                std::move(transport), TunnelEndpointRole::client, key, nullptr,
                [this](uint16_t pushed, const Bytes& body) { handlePhonePush(pushed, body); });
            engine_.startReading();
        }
    }
    std::optional<TunnelEngineError> failure;
    TunnelMessage response;
    try {
        response = co_await engine_.request(code, std::move(payload));
    } catch (const TunnelEngineFailure& error) {
        failure = error.error();
    }
    if (failure)
        throw TunnelRelayFailure(*failure == TunnelEngineError::notBound
                                     ? TunnelRelayTransportError::notConnected
                                     : TunnelRelayTransportError::tunnelIOFailed);
    noteIOSContact();
    co_return response;
}

asio::awaitable<TunnelRelayBridge::RelayReply>
TunnelRelayBridge::relayToUsbMux(HostID host, int64_t requestCode, Bytes param) {
    if (!core_.mayMoveData(host))
        co_return RelayReply{{}, code(UsbMuxRelayError::notRegistered), 0};
    if (param.size() > kTunnelMaxPayload)
        co_return RelayReply{{}, code(UsbMuxRelayError::payloadTooLarge), 0};
    if (!core_.usbMuxConnection()) co_return RelayReply{{}, code(UsbMuxRelayError::noDevices), 0};
    // A code that cannot travel as a tunnel request code is no request the phone could answer.
    if (requestCode < 0 || requestCode > UINT16_MAX)
        co_return RelayReply{{}, code(UsbMuxRelayError::reserved2), 0};
    co_return co_await relayOnce(static_cast<uint16_t>(requestCode), std::move(param));
}

asio::awaitable<TunnelMessage> TunnelRelayBridge::requestRetryingOnce(uint16_t requestCode,
                                                                      Bytes payload) {
    std::optional<TunnelRelayTransportError> failure;
    try {
        co_return co_await request(requestCode, payload, relayPort);
    } catch (const TunnelRelayFailure& error) {
        failure = error.error();
    }
    if (*failure != TunnelRelayTransportError::notConnected &&
        *failure != TunnelRelayTransportError::tunnelIOFailed)
        throw TunnelRelayFailure(*failure);
    // Start over on a fresh connection, once.
    co_await resetTunnel();
    co_return co_await request(requestCode, std::move(payload), relayPort);
}

asio::awaitable<void> TunnelRelayBridge::resetTunnel() {
    co_await linkAvailable();
    co_await dropTunnel();
}

asio::awaitable<void> TunnelRelayBridge::dropTunnel() {
    co_await engine_.stop();
    const tunnel_id tunnel = firstDeviceTunnel(relayPort);
    co_await offload([tunnel] { usbmux_mgr_invalidate_tunnel(&tunnel); });
}

asio::awaitable<TunnelRelayBridge::LinkHold> TunnelRelayBridge::holdLink() {
    LinkHold hold(this);
    ++linkHolds_;
    co_await dropTunnel();
    co_return hold;
}

TunnelRelayBridge::LinkHold::~LinkHold() {
    if (bridge_ && --bridge_->linkHolds_ == 0) bridge_->linkReleased_.cancel();
}

asio::awaitable<void> TunnelRelayBridge::linkAvailable() {
    while (linkHolds_ > 0) {
        asio::error_code released;
        co_await linkReleased_.async_wait(asio::redirect_error(asio::use_awaitable, released));
    }
}

asio::awaitable<TunnelRelayBridge::RelayReply> TunnelRelayBridge::relayOnce(uint16_t requestCode,
                                                                            Bytes param) {
    std::optional<TunnelRelayTransportError> failure;
    TunnelMessage response;
    try {
        response = co_await requestRetryingOnce(requestCode, std::move(param));
    } catch (const TunnelRelayFailure& error) {
        failure = error.error();
    } catch (const std::exception&) {
        // Whatever else broke on the way (a transport that could not be set up, memory), the
        // caller gets the relay's own answer rather than no reply at all.
        failure = TunnelRelayTransportError::tunnelIOFailed;
    }
    if (failure) co_return RelayReply{{}, relayErrorFor(*failure), 0};
    const auto status = static_cast<int64_t>(relayDeviceStatusFromResponse(response.code));
    co_return RelayReply{std::move(response.payload),
                         status == 0 ? 0 : code(UsbMuxRelayError::deviceStatus), status};
}

void TunnelRelayBridge::handlePhonePush(uint16_t pushed, const Bytes& payload) {
    noteIOSContact();
    const auto message = bridgeNotifyMessageFromRaw(pushed);
    if (!message) return;
    switch (*message) {
    case BridgeNotifyMessage::bridgeStateChanged:
    case BridgeNotifyMessage::fileIOProgress:
        forwardToExtension(pushed, payload);
        break;
    case BridgeNotifyMessage::itemMutation:
        forwardToExtension(pushed, payload);
        asio::co_spawn(
            loop_,
            [this, payload]() -> asio::awaitable<void> {
                try {
                    co_await clock_.sleep(30ms);
                } catch (const std::exception&) {
                    // The poke runs even when the wait ends early.
                }
                actions_.itemMutationPoke(payload);
            },
            asio::detached);
        break;
    case BridgeNotifyMessage::mountControl:
        asio::post(loop_, [this, payload] { actions_.mountControl(payload); });
        break;
    }
}

void TunnelRelayBridge::forwardToExtension(uint16_t pushed, const Bytes& payload) {
    if (auto extension = core_.proxy(static_cast<int64_t>(TarvelBridgeClientRole::fileProvider)))
        extension->notifyClient(pushed, payload);
}

} // namespace brimo
