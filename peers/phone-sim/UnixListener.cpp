#include "peers/phone-sim/UnixListener.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <filesystem>
#include <stdexcept>

namespace brimo::sim {

asio::local::stream_protocol::acceptor listenUnix(asio::io_context& io, const std::string& path) {
    namespace fs = std::filesystem;
    using asio::local::stream_protocol;
    std::error_code fsError;
    auto status = fs::symlink_status(path, fsError);
    if (fs::exists(status)) {
        if (!fs::is_socket(status)) throw std::runtime_error(path + " exists and is not a socket");
        stream_protocol::socket probe(io);
        asio::error_code ec;
        probe.connect(stream_protocol::endpoint(path), ec);
        if (!ec) throw std::runtime_error(path + " is in use by another process");
        fs::remove(path, fsError);
    }
    stream_protocol::acceptor acceptor(io);
    asio::error_code ec;
    acceptor.open(stream_protocol(), ec);
    if (!ec) acceptor.bind(stream_protocol::endpoint(path), ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on " + path + ": " + ec.message());
    return acceptor;
}

asio::awaitable<void> acceptEach(asio::local::stream_protocol::acceptor& acceptor,
                                 ServeConnection serve) {
    for (;;) {
        asio::error_code ec;
        auto socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted) co_return;
        if (!ec) asio::co_spawn(acceptor.get_executor(), serve(std::move(socket)), asio::detached);
    }
}

} // namespace brimo::sim
