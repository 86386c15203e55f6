#include "service/usbmuxkit/TunnelSession.h"

#include "shared/Log.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <usbmuxd.h>

namespace usbmuxkit {

using brimo::log::usbMuxNativeLog;

TunnelSession::TunnelSession(int fd, std::string udid, int handle, uint16_t port)
    : fd_(fd)
    , socket_(fd)
    , udid_(std::move(udid))
    , handle_(handle)
    , port_(port) {}

TunnelSession::~TunnelSession() {
    close();
    if (socket_ >= 0) usbmuxd_disconnect(socket_);
}

void TunnelSession::close() {
    if (fd_.exchange(-1) >= 0) ::shutdown(socket_, SHUT_RDWR);
}

bool TunnelSession::sendAll(const void* data, uint32_t total) {
    if (fd() < 0) {
        usbMuxNativeLog.error("[UsbTunnelManager] sendAll failed: invalid fd total=%u", total);
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    uint32_t sentTotal = 0;
    while (sentTotal < total) {
        const uint32_t request = std::min(total - sentTotal, kChunkBytes);
        uint32_t sent = 0;
        const int rc = usbmuxd_send(socket_, bytes + sentTotal, request, &sent);
        if (rc != 0 || sent == 0) {
            usbMuxNativeLog.error("[UsbTunnelManager] sendAll failed fd=%d rc=%d chunk=%u "
                                  "sentTotal=%u total=%u requestChunk=%u",
                                  socket_, rc, sent, sentTotal, total, request);
            return false;
        }
        sentTotal += sent;
    }
    return true;
}

bool TunnelSession::recvAll(void* buffer, uint32_t total) {
    if (fd() < 0) {
        usbMuxNativeLog.error("[UsbTunnelManager] recvAll failed: invalid fd total=%u", total);
        return false;
    }
    char* bytes = static_cast<char*>(buffer);
    uint32_t recvTotal = 0;
    while (recvTotal < total) {
        const uint32_t request = std::min(total - recvTotal, kChunkBytes);
        uint32_t got = 0;
        const int st = usbmuxd_recv(socket_, bytes + recvTotal, request, &got);
        // The library's receive gives up after its own time-out; keep waiting for data, the end
        // of the stream or a real error, unless the session was closed meanwhile.
        if (st == -ETIMEDOUT && got == 0 && fd() >= 0) continue;
        if (st != 0 || got == 0) {
            usbMuxNativeLog.error("[UsbTunnelManager] recvAll failed fd=%d st=%d got=%u "
                                  "recvTotal=%u total=%u requestChunk=%u",
                                  socket_, st, got, recvTotal, total, request);
            return false;
        }
        recvTotal += got;
    }
    return true;
}

bool TunnelSession::readLine(std::string& line) {
    if (fd() < 0) return false;
    line.clear();
    for (;;) {
        char byte = 0;
        uint32_t got = 0;
        if (usbmuxd_recv(socket_, &byte, 1, &got) != 0 || got == 0) return false;
        if (byte == '\n') {
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        if (line.size() >= kMaxLineBytes) {
            usbMuxNativeLog.error("[UsbTunnelManager] readLine failed fd=%d: no line feed within "
                                  "%zu bytes",
                                  socket_, kMaxLineBytes);
            return false;
        }
        line.push_back(byte);
    }
}

} // namespace usbmuxkit
