#include "service/tunnel/UsbMuxTunnelTransport.h"

#include "shared/Offload.h"

#include <asio/post.hpp>
#include <pthread.h>

namespace brimo {
namespace {

std::string queueLabel(uint16_t port, const char* direction) {
    return "Ozm.Tarvel.usbmux-tunnel." + std::to_string(port) + "." + direction;
}

// Thread names are limited to 15 characters: keep the port and the direction.
void nameQueueThread(asio::thread_pool& queue, uint16_t port, const char* direction) {
    const std::string name = "tun" + std::to_string(port) + "." + direction;
    asio::post(queue, [name] { pthread_setname_np(pthread_self(), name.c_str()); });
}

} // namespace

UsbMuxTunnelTransport::UsbMuxTunnelTransport(const tunnel_id& tunnel)
    : tunnel_(tunnel)
    , sendLabel_(queueLabel(tunnel.port, "send"))
    , recvLabel_(queueLabel(tunnel.port, "recv")) {
    nameQueueThread(sendQueue_, tunnel.port, "send");
    nameQueueThread(recvQueue_, tunnel.port, "recv");
}

UsbMuxTunnelTransport::~UsbMuxTunnelTransport() {
    sendQueue_.join();
    recvQueue_.join();
}

asio::awaitable<void> UsbMuxTunnelTransport::send(Bytes header, Bytes payload) {
    // A named job: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    auto job = [this, header = std::move(header), payload = std::move(payload)] {
        const auto sendAll = [this](const Bytes& bytes) {
            return bytes.empty() || usbmux_tunnel_send(&tunnel_, bytes.data(),
                                                       static_cast<uint32_t>(bytes.size())) != 0;
        };
        return !closed_.load() && sendAll(header) && sendAll(payload);
    };
    const bool sent = co_await offloadTo(sendQueue_, std::move(job));
    if (!sent) throw TunnelTransportFailure(TunnelTransportError::disconnected);
}

asio::awaitable<Bytes> UsbMuxTunnelTransport::receive(size_t count) {
    if (count > UINT32_MAX) throw TunnelTransportFailure(TunnelTransportError::disconnected);
    auto buffer = co_await offloadTo(recvQueue_, [this, count]() -> std::optional<Bytes> {
        Bytes bytes(count, 0);
        if (closed_.load() ||
            !usbmux_tunnel_recv(&tunnel_, bytes.data(), static_cast<uint32_t>(count)))
            return std::nullopt;
        return bytes;
    });
    if (!buffer) throw TunnelTransportFailure(TunnelTransportError::disconnected);
    co_return std::move(*buffer);
}

asio::awaitable<void> UsbMuxTunnelTransport::close() {
    co_await offloadTo(sendQueue_, [this] {
        closed_.store(true);
        usbmux_mgr_invalidate_tunnel(&tunnel_);
    });
}

} // namespace brimo
