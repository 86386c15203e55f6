#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace usbmuxkit {

// One open usbmux connection to a device port.
//
// close() shuts the socket down at once, which wakes any thread blocked on it; the descriptor
// itself is released when the session is destroyed, so a thread still inside a call never sees
// its number reused by another connection.
class TunnelSession {
public:
    // Longest line readLine accepts; a peer that never sends a line feed fails the read here.
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    // Largest piece moved by one library call.
    static constexpr uint32_t kChunkBytes = 0x40000;

    TunnelSession(int fd, std::string udid, int handle, uint16_t port);
    ~TunnelSession();
    TunnelSession(const TunnelSession&) = delete;
    TunnelSession& operator=(const TunnelSession&) = delete;

    bool sendAll(const void* data, uint32_t total);
    bool recvAll(void* buffer, uint32_t total);
    bool readLine(std::string& line);
    void close();

    // -1 once closed.
    int fd() const { return fd_.load(); }
    const std::string& udid() const { return udid_; }
    int handle() const { return handle_; }
    uint16_t port() const { return port_; }

private:
    std::atomic<int> fd_;
    const int socket_;
    const std::string udid_;
    const int handle_;
    const uint16_t port_;
};

} // namespace usbmuxkit
