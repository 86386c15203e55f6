#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <memory>
#include <utility>

// Mutual exclusion across co_await points for actor operations that must not interleave with
// others (for example a blocking measurement that occupies its actor). Waiters are served in
// the order they arrived; a waiter whose coroutine is cancelled leaves the queue.
namespace brimo {

class SerialGate {
public:
    explicit SerialGate(asio::any_io_executor executor);
    ~SerialGate();

    class Hold {
    public:
        explicit Hold(SerialGate* gate)
            : gate_(gate) {}
        Hold(Hold&& other) noexcept
            : gate_(std::exchange(other.gate_, nullptr)) {}
        Hold& operator=(Hold&&) = delete;
        ~Hold() {
            if (gate_) gate_->release();
        }

    private:
        SerialGate* gate_;
    };

    asio::awaitable<Hold> acquire();

private:
    void release();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brimo
