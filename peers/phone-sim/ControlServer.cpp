#include "peers/phone-sim/ControlServer.h"

#include "peers/phone-sim/ControlCommands.h"
#include "peers/phone-sim/UnixListener.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace brimo::sim {

namespace {

using Socket = asio::local::stream_protocol::socket;
using asio::use_awaitable;

// Commands are short; a longer line means the peer is not speaking this protocol.
constexpr size_t kMaxCommand = 64 * 1024;

} // namespace

struct ControlServer::Impl {
    Impl(asio::io_context& io, DeviceRegistry& registry, const std::string& path,
         std::function<void()> onQuit)
        : commands(registry)
        , onQuit(std::move(onQuit))
        , acceptor(listenUnix(io, path)) {}

    asio::awaitable<void> serve(Socket socket);

    ControlCommands commands;
    std::function<void()> onQuit;
    asio::local::stream_protocol::acceptor acceptor;
};

ControlServer::ControlServer(asio::io_context& io, DeviceRegistry& registry,
                             const std::string& socketPath, std::function<void()> onQuit)
    : impl_(std::make_unique<Impl>(io, registry, socketPath, std::move(onQuit))) {
    asio::co_spawn(
        io,
        acceptEach(impl_->acceptor,
                   [impl = impl_.get()](Socket socket) { return impl->serve(std::move(socket)); }),
        asio::detached);
}

ControlServer::~ControlServer() = default;

asio::awaitable<void> ControlServer::Impl::serve(Socket socket) {
    std::string input;
    for (;;) {
        asio::error_code ec;
        size_t length =
            co_await asio::async_read_until(socket, asio::dynamic_buffer(input, kMaxCommand), '\n',
                                            asio::redirect_error(use_awaitable, ec));
        if (ec) co_return;
        ControlReply reply = commands.execute(std::string_view(input).substr(0, length - 1));
        input.erase(0, length);
        reply.line += '\n';
        co_await asio::async_write(socket, asio::buffer(reply.line),
                                   asio::redirect_error(use_awaitable, ec));
        if (reply.quit) onQuit();
        if (ec) co_return;
    }
}

} // namespace brimo::sim
