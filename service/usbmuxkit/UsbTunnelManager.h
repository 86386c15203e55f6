#pragma once

#include "service/usbmuxkit/TunnelSession.h"
#include "service/usbmuxkit/usbmuxkit.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace usbmuxkit {

using DeviceEventCallback = void (*)(const DeviceEvent* event);

// Keeps the list of attached devices, follows the usbmux daemon's attach/detach events and
// owns one open connection per (device UDID, device port). Every keyed operation re-reads the
// device list when it is stale and reconnects on its own after a re-enumeration.
//
// One mutex serialises the device list and the session map; it is never held while a session
// blocks in send or receive, while calling the device-event callback, nor while subscribing to or
// unsubscribing from the daemon's events. start() and shutdown() are serialised as a whole.
class UsbTunnelManager {
public:
    static UsbTunnelManager& shared();

    UsbTunnelManager();
    ~UsbTunnelManager();
    UsbTunnelManager(const UsbTunnelManager&) = delete;
    UsbTunnelManager& operator=(const UsbTunnelManager&) = delete;

    bool start();
    void shutdown();
    void setDeviceEventCallback(DeviceEventCallback callback);
    void clearDeviceEventCallback();

    std::vector<std::pair<std::string, uint16_t>> currentTunnels();
    bool isTunnelConnected(const std::string& udid, uint16_t port);
    bool ensureTunnel(const std::string& udid, uint16_t port);
    // Shared ownership keeps the session alive while a caller is inside one of its calls, even
    // if another thread invalidates it meanwhile (which shuts the socket down and wakes it).
    std::shared_ptr<TunnelSession> sessionFor(const std::string& udid, uint16_t port);
    void invalidateSession(const std::string& udid, uint16_t port);

    // The link speed test's line protocol; console lines go to stdout, failures to stderr.
    bool runPing(TunnelSession& session, double& milliseconds);
    bool runDownloadTest(TunnelSession& session, uint64_t bytes, double& seconds);
    bool runUploadTest(TunnelSession& session, uint64_t bytes, double& seconds);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace usbmuxkit
