#pragma once

#include "service/TunnelRelayBridge.h"
#include "service/tunnel/StreamSocketTransport.h"
#include "service/tunnel/TunnelEngine.h"

#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <functional>
#include <memory>
#include <vector>

namespace brimo::test {

// Phones played by server-role engines on the far end of socket pairs. Every open() gives the
// relay a fresh connection (numbered from 1) whose requests `answer` decides.
class SocketPairPhones {
public:
    using Answer =
        std::function<asio::awaitable<TunnelMessage>(int connection, uint16_t code, Bytes payload)>;

    SocketPairPhones(asio::io_context& loop, Answer answer)
        : loop_(loop)
        , answer_(std::move(answer)) {}

    asio::awaitable<std::shared_ptr<TunnelTransport>> open() {
        ++opens;
        // Connecting takes a turn of the loop, as the real one does on the blocking pool.
        co_await asio::post(loop_, asio::use_awaitable);
        if (refuse) co_return nullptr;
        asio::local::stream_protocol::socket ours(loop_), theirs(loop_);
        asio::local::connect_pair(ours, theirs);
        auto phone = std::make_unique<TunnelEngine>(loop_.get_executor());
        phone->bind(
            std::make_shared<StreamSocketTransport>(std::move(theirs)), TunnelEndpointRole::server,
            "phone",
            [this, connection = opens](uint16_t code, Bytes payload) {
                return answer_(connection, code, std::move(payload));
            },
            nullptr);
        phone->startReading();
        phones.push_back(std::move(phone));
        co_return std::make_shared<StreamSocketTransport>(std::move(ours));
    }

    RelayTransportFactory factory() {
        return [this](uint16_t) { return open(); };
    }

    int opens = 0;
    bool refuse = false; // no tunnel can be established
    std::vector<std::unique_ptr<TunnelEngine>> phones;

private:
    asio::io_context& loop_;
    Answer answer_;
};

} // namespace brimo::test
