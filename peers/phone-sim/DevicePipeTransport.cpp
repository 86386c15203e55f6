#include "peers/phone-sim/DevicePipeTransport.h"

#include "peers/phone-sim/DevicePipe.h"

#include <algorithm>

namespace brimo::sim {

DevicePipeTransport::DevicePipeTransport(DevicePipe& pipe, std::string pending,
                                         std::shared_ptr<InFlight> inFlight)
    : pipe_(pipe)
    , pending_(std::move(pending))
    , inFlight_(std::move(inFlight))
    , sendGate_(pipe.executor())
    , closed_(pipe.executor()) {}

asio::awaitable<void> DevicePipeTransport::send(Bytes header, Bytes payload) {
    auto scope = inFlight_->enter();
    auto hold = co_await sendGate_.acquire();
    try {
        co_await pipe_.write({reinterpret_cast<const char*>(header.data()), header.size()});
        if (!payload.empty())
            co_await pipe_.write({reinterpret_cast<const char*>(payload.data()), payload.size()});
    } catch (const asio::system_error&) {
        throw TunnelTransportFailure(TunnelTransportError::disconnected);
    }
}

asio::awaitable<Bytes> DevicePipeTransport::receive(size_t count) {
    auto scope = inFlight_->enter();
    Bytes bytes(count);
    size_t have = std::min(count, pending_.size());
    std::copy_n(pending_.begin(), have, bytes.begin());
    pending_.erase(0, have);
    // Reads only what is asked for, so nothing of the next frame is taken from the pipe.
    while (have < count) {
        size_t n =
            co_await pipe_.readSome({reinterpret_cast<char*>(bytes.data()) + have, count - have});
        if (n == 0) throw TunnelTransportFailure(TunnelTransportError::disconnected);
        have += n;
    }
    co_return bytes;
}

asio::awaitable<void> DevicePipeTransport::close() {
    auto scope = inFlight_->enter();
    auto hold = co_await sendGate_.acquire();
    pipe_.close();
    closed_.set();
}

} // namespace brimo::sim
