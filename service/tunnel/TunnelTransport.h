#pragma once

#include "shared/Bytes.h"

#include <asio/awaitable.hpp>
#include <stdexcept>

namespace brimo {

enum class TunnelTransportError { disconnected, ioFailed };

class TunnelTransportFailure : public std::runtime_error {
public:
    explicit TunnelTransportFailure(TunnelTransportError error)
        : std::runtime_error(error == TunnelTransportError::disconnected ? "disconnected"
                                                                         : "I/O failed")
        , error_(error) {}
    TunnelTransportError error() const { return error_; }

private:
    TunnelTransportError error_;
};

// A reliable byte stream to the phone application. Each send (a frame's header, then its
// payload) goes out whole, never interleaved with another; a receive never waits behind a send.
class TunnelTransport {
public:
    virtual ~TunnelTransport() = default;
    // Throws TunnelTransportFailure.
    virtual asio::awaitable<void> send(Bytes header, Bytes payload) = 0;
    // Exactly `count` bytes; throws TunnelTransportFailure.
    virtual asio::awaitable<Bytes> receive(size_t count) = 0;
    // Runs after every send already queued; never throws.
    virtual asio::awaitable<void> close() = 0;
};

} // namespace brimo
