#include "service/tunnel/StreamSocketTransport.h"

#include <array>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace brimo {

StreamSocketTransport::StreamSocketTransport(asio::local::stream_protocol::socket socket)
    : socket_(std::move(socket))
    , sendGate_(socket_.get_executor()) {}

asio::awaitable<void> StreamSocketTransport::send(Bytes header, Bytes payload) {
    auto hold = co_await sendGate_.acquire();
    asio::error_code ec;
    const std::array<asio::const_buffer, 2> frame{asio::buffer(header), asio::buffer(payload)};
    co_await asio::async_write(socket_, frame, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) throw TunnelTransportFailure(TunnelTransportError::disconnected);
}

asio::awaitable<Bytes> StreamSocketTransport::receive(size_t count) {
    Bytes bytes(count, 0);
    asio::error_code ec;
    co_await asio::async_read(socket_, asio::buffer(bytes),
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec) throw TunnelTransportFailure(TunnelTransportError::disconnected);
    co_return bytes;
}

asio::awaitable<void> StreamSocketTransport::close() {
    auto hold = co_await sendGate_.acquire();
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
}

} // namespace brimo
