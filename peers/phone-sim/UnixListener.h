#pragma once

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <functional>
#include <string>

namespace brimo::sim {

// Binds and listens on a Unix stream socket at `path`. A socket file left behind by a dead
// process is replaced; a live listener or a file that is not a socket is an error
// (std::runtime_error), so that two simulators never share a path.
asio::local::stream_protocol::acceptor listenUnix(asio::io_context& io, const std::string& path);

using ServeConnection =
    std::function<asio::awaitable<void>(asio::local::stream_protocol::socket socket)>;

// Accepts connections until the acceptor is closed, serving each in a coroutine of its own.
asio::awaitable<void> acceptEach(asio::local::stream_protocol::acceptor& acceptor,
                                 ServeConnection serve);

} // namespace brimo::sim
