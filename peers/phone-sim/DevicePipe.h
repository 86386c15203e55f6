#pragma once

#include "peers/phone-sim/DeviceFaults.h"
#include "peers/phone-sim/RateLimiter.h"

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <span>
#include <string_view>

namespace brimo::sim {

// The phone app's end of a Connect tunnel: the raw byte stream to the host, slowed to the
// cable's rate and cut short when the device's faults say so.
class DevicePipe {
public:
    using Socket = asio::local::stream_protocol::socket;

    DevicePipe(Socket socket, std::shared_ptr<RateLimiter> link,
               std::shared_ptr<const DeviceFaults> faults);

    // Bytes from the host; 0 once the host or the simulator closed the pipe.
    asio::awaitable<size_t> readSome(std::span<char> buffer);
    // Throws asio::system_error once the pipe is closed, including by a cut fault.
    asio::awaitable<void> write(std::string_view data);
    void close();

    asio::any_io_executor executor() { return socket_.get_executor(); }
    const DeviceFaults& faults() const { return *faults_; }
    // True when a cut fault allows no more bytes on this connection.
    bool cutReached() const;

private:
    asio::awaitable<void> throttle(size_t bytes);

    Socket socket_;
    asio::steady_timer timer_;
    std::shared_ptr<RateLimiter> link_;
    std::shared_ptr<const DeviceFaults> faults_;
    uint64_t sentBytes_ = 0;
};

} // namespace brimo::sim
