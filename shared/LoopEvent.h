#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace brimo {

// A flag that coroutines on one loop can wait for; every waiter resumes once it
// is set. Reset it to wait for the next time.
class LoopEvent {
public:
    explicit LoopEvent(asio::any_io_executor executor)
        : timer_(std::move(executor), asio::steady_timer::time_point::max()) {}

    void set() {
        set_ = true;
        timer_.cancel();
    }
    void reset() { set_ = false; }
    bool isSet() const { return set_; }

    asio::awaitable<void> wait() {
        if (set_) co_return;
        asio::error_code ec;
        co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }

private:
    asio::steady_timer timer_;
    bool set_ = false;
};

} // namespace brimo
