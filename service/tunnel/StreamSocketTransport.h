#pragma once

#include "service/tunnel/TunnelTransport.h"
#include "shared/SerialGate.h"

#include <asio/local/stream_protocol.hpp>

namespace brimo {

// The tunnel transport over a connected stream socket on the event loop: the phone side of the
// simulator speaks through it, and tests run the engine over socket pairs with it.
class StreamSocketTransport final : public TunnelTransport {
public:
    explicit StreamSocketTransport(asio::local::stream_protocol::socket socket);

    asio::awaitable<void> send(Bytes header, Bytes payload) override;
    asio::awaitable<Bytes> receive(size_t count) override;
    asio::awaitable<void> close() override;

private:
    asio::local::stream_protocol::socket socket_;
    // Whole frames: a second send waits until the first is written.
    SerialGate sendGate_;
};

} // namespace brimo
