#include "peers/phone-sim/UnixListener.h"

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

} // namespace brimo::sim
