#pragma once

#include <cstdint>

// The flat interface of the native usbmux layer. Every function works on the process-wide
// UsbTunnelManager; Bool results are returned as 64-bit integers, nonzero meaning true.

extern "C" {
// A tunnel's key: the device UDID (empty = the first attached device) and the device TCP port.
struct tunnel_id {
    char udid[48];
    uint16_t port;
};
}

namespace usbmuxkit {
// Handed to the device-event callback: the library's event code and the device UDID.
struct DeviceEvent {
    int32_t type;
    char udid[48];
};
} // namespace usbmuxkit

extern "C" {
typedef void (*usbmux_device_event_callback)(const usbmuxkit::DeviceEvent* event);

int64_t usbmux_mgr_start(void);
void usbmux_mgr_shutdown(void);
void usbmux_mgr_set_device_event_callback(usbmux_device_event_callback callback);
int64_t usbmux_mgr_copy_current_tunnels(tunnel_id** out);
void usbmux_mgr_free_tunnels(tunnel_id* tunnels, int64_t count);
void usbmux_mgr_free_buffer(void* buffer);
int64_t usbmux_mgr_check_connected(const tunnel_id* tunnel);
void usbmux_mgr_invalidate_tunnel(const tunnel_id* tunnel);
int64_t usbmux_tunnel_ensure(const tunnel_id* tunnel);
int64_t usbmux_tunnel_send(const tunnel_id* tunnel, const void* bytes, uint32_t length);
int64_t usbmux_tunnel_recv(const tunnel_id* tunnel, void* buffer, uint32_t length);
int64_t usbmux_mgr_run_ping(const tunnel_id* tunnel, double* milliseconds);
int64_t usbmux_mgr_run_download_test(const tunnel_id* tunnel, uint64_t bytes, double* seconds);
int64_t usbmux_mgr_run_upload_test(const tunnel_id* tunnel, uint64_t bytes, double* seconds);
}
