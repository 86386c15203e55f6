#include "service/usbmuxkit/UsbTunnelManager.h"
#include "service/usbmuxkit/usbmuxkit.h"

#include <cstdlib>
#include <cstring>

namespace {

using usbmuxkit::TunnelSession;
using usbmuxkit::UsbTunnelManager;

UsbTunnelManager& manager() {
    return UsbTunnelManager::shared();
}

std::string udidOf(const tunnel_id* tunnel) {
    return tunnel->udid[0] == '\0' ? std::string() : std::string(tunnel->udid);
}

// Ensures the tunnel, then runs `work` on its session outside the manager's lock.
template <class Work> int64_t withSession(const tunnel_id* tunnel, Work work) {
    if (!tunnel) return 0;
    const std::string udid = udidOf(tunnel);
    if (!manager().ensureTunnel(udid, tunnel->port)) return 0;
    std::shared_ptr<TunnelSession> session = manager().sessionFor(udid, tunnel->port);
    return session && work(*session) ? 1 : 0;
}

// A speed-test routine whose measurement is written to `out` only on success.
template <class Run> int64_t runMeasured(const tunnel_id* tunnel, double* out, Run run) {
    return withSession(tunnel, [&](TunnelSession& s) {
        double value = 0;
        const bool ok = run(s, value);
        if (ok && out) *out = value;
        return ok;
    });
}

} // namespace

extern "C" {

int64_t usbmux_mgr_start(void) {
    return manager().start() ? 1 : 0;
}

void usbmux_mgr_shutdown(void) {
    manager().shutdown();
}

void usbmux_mgr_set_device_event_callback(usbmux_device_event_callback callback) {
    manager().setDeviceEventCallback(callback);
}

int64_t usbmux_mgr_copy_current_tunnels(tunnel_id** out) {
    if (!out) return -1;
    *out = nullptr;
    const auto tunnels = manager().currentTunnels();
    if (tunnels.empty()) return 0;
    auto* array = static_cast<tunnel_id*>(std::calloc(tunnels.size(), sizeof(tunnel_id)));
    if (!array) return -1;
    for (size_t i = 0; i < tunnels.size(); ++i) {
        std::strncpy(array[i].udid, tunnels[i].first.c_str(), sizeof(array[i].udid) - 1);
        array[i].port = tunnels[i].second;
    }
    *out = array;
    return static_cast<int64_t>(tunnels.size());
}

void usbmux_mgr_free_tunnels(tunnel_id* tunnels, int64_t count) {
    if (tunnels && count >= 1) std::free(tunnels);
}

void usbmux_mgr_free_buffer(void* buffer) {
    std::free(buffer);
}

int64_t usbmux_mgr_check_connected(const tunnel_id* tunnel) {
    return tunnel && manager().isTunnelConnected(udidOf(tunnel), tunnel->port) ? 1 : 0;
}

void usbmux_mgr_invalidate_tunnel(const tunnel_id* tunnel) {
    if (tunnel) manager().invalidateSession(udidOf(tunnel), tunnel->port);
}

int64_t usbmux_tunnel_ensure(const tunnel_id* tunnel) {
    return tunnel && manager().ensureTunnel(udidOf(tunnel), tunnel->port) ? 1 : 0;
}

int64_t usbmux_tunnel_send(const tunnel_id* tunnel, const void* bytes, uint32_t length) {
    if (!bytes && length != 0) return 0;
    return withSession(tunnel, [&](TunnelSession& s) { return s.sendAll(bytes, length); });
}

int64_t usbmux_tunnel_recv(const tunnel_id* tunnel, void* buffer, uint32_t length) {
    if (!buffer && length != 0) return 0;
    return withSession(tunnel, [&](TunnelSession& s) { return s.recvAll(buffer, length); });
}

int64_t usbmux_mgr_run_ping(const tunnel_id* tunnel, double* milliseconds) {
    return runMeasured(tunnel, milliseconds,
                       [](TunnelSession& s, double& v) { return manager().runPing(s, v); });
}

int64_t usbmux_mgr_run_download_test(const tunnel_id* tunnel, uint64_t bytes, double* seconds) {
    return runMeasured(tunnel, seconds, [bytes](TunnelSession& s, double& v) {
        return manager().runDownloadTest(s, bytes, v);
    });
}

int64_t usbmux_mgr_run_upload_test(const tunnel_id* tunnel, uint64_t bytes, double* seconds) {
    return runMeasured(tunnel, seconds, [bytes](TunnelSession& s, double& v) {
        return manager().runUploadTest(s, bytes, v);
    });
}

} // extern "C"
