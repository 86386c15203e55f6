#pragma once

#include "service/BridgeClientConnection.h"
#include "service/tunnel/UsbMuxService.h"
#include "shared/BridgeContract.h"

#include <asio/any_io_executor.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace brimo {

class TunnelEngine;

// What the reachability probe needs to hear of the USB link.
class UsbLinkObserver {
public:
    virtual ~UsbLinkObserver() = default;
    virtual void usbConnected() = 0;
    virtual void usbDisconnected() = 0;
};

// The service's registry of client connections and owner of the bridge state clients see:
// which role each connection has, whether the extension is registered, and which phone is
// attached. Starts the usbmux device watcher once and publishes bridgeStateChanged.
//
// `lock` is not recursive: publishState runs with it held and never takes it. Notification sends
// run as tasks of their own on the loop, never under the lock.
class BridgeCore {
public:
    static BridgeCore& shared();

    BridgeCore(asio::any_io_executor loop, UsbMuxService& usbMux, TunnelEngine& engine,
               UsbLinkObserver& probe);

    void bootstrapUsbMux();

    // An accepted connection, pending until it registers.
    void addPending(std::shared_ptr<BridgeClientConnection> connection);
    // Binds the connection whose exported object is `host` to `role` (any value: roles outside
    // the known ones register but may use no data methods).
    bool registerClient(HostID host, int64_t role);
    void connectionClosed(const BridgeClientConnection* connection);
    std::optional<int64_t> role(HostID host);
    // Only the extension and the desktop app may relay requests and move files.
    bool mayMoveData(HostID host);
    // The proxy of the client registered under `role`; its failed calls are logged and then
    // reported to `onFailure`, when given.
    std::shared_ptr<BridgeClientProxy> proxy(int64_t role,
                                             std::function<void()> onFailure = nullptr);
    // The attached phone's UDID, read under the lock.
    std::optional<std::string> usbMuxConnection();

    // The device-event handler installed by bootstrapUsbMux.
    void handleDeviceEvent(const UsbMuxService::DeviceEvent& event);

private:
    // Expects the lock held.
    void publishState(TarvelBridgeClientRole source);
    void send(int64_t targetRole, NotifyBridgeStateChangedPayload payload);

    asio::any_io_executor loop_;
    UsbMuxService& usbMux_;
    TunnelEngine& engine_;
    UsbLinkObserver& probe_;

    std::mutex lock_;
    std::map<HostID, std::shared_ptr<BridgeClientConnection>> pendingByHost_;
    std::map<int64_t, std::shared_ptr<BridgeClientConnection>> byRole_;
    bool usbMuxBootstrapped_ = false;
    std::optional<std::string> usbMuxConnection_;
};

} // namespace brimo
