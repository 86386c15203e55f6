#pragma once

#include "service/tunnel/TunnelTransport.h"
#include "service/usbmuxkit/usbmuxkit.h"

#include <asio/thread_pool.hpp>
#include <atomic>
#include <string>

namespace brimo {

// The tunnel transport over a usbmux connection. The blocking native calls run on two serial
// queues of its own ("Ozm.Tarvel.usbmux-tunnel.<port>.send" / ".recv"), so the engine's loop
// never blocks and a receive never waits behind a send. The native layer re-establishes the
// connection when needed, so a transport outlives a device re-attachment.
class UsbMuxTunnelTransport final : public TunnelTransport {
public:
    explicit UsbMuxTunnelTransport(const tunnel_id& tunnel);
    // Waits for queued work; close() first so that a blocked receive is woken.
    ~UsbMuxTunnelTransport() override;

    asio::awaitable<void> send(Bytes header, Bytes payload) override;
    asio::awaitable<Bytes> receive(size_t count) override;
    asio::awaitable<void> close() override;

    const std::string& sendQueueLabel() const { return sendLabel_; }
    const std::string& recvQueueLabel() const { return recvLabel_; }

private:
    const tunnel_id tunnel_;
    const std::string sendLabel_;
    const std::string recvLabel_;
    // Once closed, calls fail instead of letting the native layer open a fresh connection.
    std::atomic<bool> closed_{false};
    asio::thread_pool sendQueue_{1};
    asio::thread_pool recvQueue_{1};
};

} // namespace brimo
