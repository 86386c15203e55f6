#include "service/tunnel/UsbMuxService.h"

#include "service/usbmuxkit/UsbTunnelManager.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "shared/EventLoop.h"
#include "shared/Offload.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <atomic>
#include <cstring>
#include <optional>

namespace brimo {
namespace {

// The native callback is a plain function; it reaches the instance that registered it.
std::atomic<UsbMuxService*> trampolineTarget{nullptr};

tunnel_id firstDeviceTunnel(uint16_t port) {
    tunnel_id tunnel{};
    tunnel.port = port;
    return tunnel;
}

// The UDID of the device behind a tunnel: its own, or that of an open connection to its port.
std::optional<std::string> deviceUDIDOf(const tunnel_id& tunnel) {
    if (tunnel.udid[0] != '\0') return std::string(tunnel.udid);
    tunnel_id* tunnels = nullptr;
    const int64_t count = usbmux_mgr_copy_current_tunnels(&tunnels);
    std::optional<std::string> udid;
    for (int64_t i = 0; i < count && !udid; ++i)
        if (tunnels[i].port == tunnel.port && tunnels[i].udid[0] != '\0')
            udid = std::string(tunnels[i].udid);
    usbmux_mgr_free_tunnels(tunnels, count);
    return udid;
}

UsbMuxService::SpeedTestRound runRound(uint16_t port, uint64_t payloadBytes) {
    using Failure = UsbMuxService::Failure;
    using Error = UsbMuxService::Error;
    const tunnel_id tunnel = firstDeviceTunnel(port);
    UsbMuxService::SpeedTestRound round;
    if (!usbmux_mgr_run_ping(&tunnel, &round.pingMs))
        throw Failure(deviceUDIDOf(tunnel) ? Error::connectionFailed : Error::noDevices);
    double seconds = 0;
    if (!usbmux_mgr_run_download_test(&tunnel, payloadBytes, &seconds))
        throw Failure(Error::downloadFailed);
    round.download = {payloadBytes, seconds};
    if (!usbmux_mgr_run_upload_test(&tunnel, payloadBytes, &seconds))
        throw Failure(Error::uploadFailed);
    round.upload = {payloadBytes, seconds};
    round.deviceUDID = deviceUDIDOf(tunnel).value_or("");
    return round;
}

} // namespace

double UsbMuxService::ThroughputResult::mibPerSecond() const {
    if (bytes == 0 || seconds <= 0) return 0;
    return static_cast<double>(bytes) / (seconds * 1024 * 1024);
}

double UsbMuxService::ThroughputResult::mbitPerSecond() const {
    if (bytes == 0 || seconds <= 0) return 0;
    return static_cast<double>(bytes) * 8 / (seconds * 1000000);
}

const char* describe(UsbMuxService::Error error) {
    switch (error) {
    case UsbMuxService::Error::notStarted:
        return "The usbmux service is not started.";
    case UsbMuxService::Error::startFailed:
        return "The usbmux service could not subscribe to device events.";
    case UsbMuxService::Error::noDevices:
        return "No devices connected.";
    case UsbMuxService::Error::connectionFailed:
        return "The connection to the device failed.";
    case UsbMuxService::Error::pingFailed:
        return "The ping to the device failed.";
    case UsbMuxService::Error::downloadFailed:
        return "The download test failed.";
    case UsbMuxService::Error::uploadFailed:
        return "The upload test failed.";
    }
    return "Unknown usbmux service error.";
}

UsbMuxService::Failure::Failure(Error error)
    : std::runtime_error(describe(error))
    , error_(error) {}

UsbMuxService& UsbMuxService::shared() {
    // The manager must outlive this instance, whose destruction clears its callback.
    usbmuxkit::UsbTunnelManager::shared();
    static UsbMuxService service(mainLoop().get_executor());
    return service;
}

UsbMuxService::UsbMuxService(asio::any_io_executor executor)
    : executor_(executor)
    , gate_(executor) {}

UsbMuxService::~UsbMuxService() {
    clearTrampoline();
}

void UsbMuxService::registerTrampoline() {
    trampolineTarget.store(this);
    usbmux_mgr_set_device_event_callback(&UsbMuxService::eventTrampoline);
}

void UsbMuxService::clearTrampoline() {
    UsbMuxService* self = this;
    if (trampolineTarget.compare_exchange_strong(self, nullptr))
        usbmux_mgr_set_device_event_callback(nullptr);
}

asio::awaitable<void> UsbMuxService::start() {
    auto hold = co_await gate_.acquire();
    if (started_) co_return;
    const bool ok = co_await offload([] { return usbmux_mgr_start() != 0; });
    if (!ok) throw Failure(Error::startFailed);
    started_ = true;
    if (deviceEventHandler_) registerTrampoline();
}

asio::awaitable<void> UsbMuxService::shutdown() {
    auto hold = co_await gate_.acquire();
    clearTrampoline();
    // Unsubscribing joins the library's event thread.
    co_await offload([] { usbmux_mgr_shutdown(); });
    started_ = false;
}

asio::awaitable<void> UsbMuxService::setDeviceEventHandler(DeviceEventHandler handler) {
    auto hold = co_await gate_.acquire();
    deviceEventHandler_ = std::move(handler);
    if (deviceEventHandler_)
        registerTrampoline();
    else
        clearTrampoline();
}

asio::awaitable<UsbMuxService::SpeedTestRound>
UsbMuxService::runSpeedTestRound(uint16_t port, uint64_t payloadBytes) {
    auto hold = co_await gate_.acquire();
    if (!started_) throw Failure(Error::notStarted);
    co_return co_await offload([port, payloadBytes] { return runRound(port, payloadBytes); });
}

// Runs on the library's event thread: hand the event to the actor, one task per event.
void UsbMuxService::eventTrampoline(const usbmuxkit::DeviceEvent* native) {
    UsbMuxService* self = trampolineTarget.load();
    if (!self || !native) return;
    DeviceEvent event{native->type,
                      native->udid[0] == '\0' ? std::string() : std::string(native->udid)};
    asio::co_spawn(self->executor_, self->deliver(std::move(event)), asio::detached);
}

asio::awaitable<void> UsbMuxService::deliver(DeviceEvent event) {
    auto hold = co_await gate_.acquire();
    if (deviceEventHandler_) deviceEventHandler_(event);
}

} // namespace brimo
