#pragma once

#include "shared/LoopEvent.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>

namespace brimo::sim {

// Counts the coroutines still using a connection, so that the connection can wait for the
// last of them before its pipe goes away. Shared, because a coroutine torn down with the loop
// may release its scope after the connection itself is gone.
class InFlight : public std::enable_shared_from_this<InFlight> {
public:
    explicit InFlight(asio::any_io_executor executor)
        : drained_(std::move(executor)) {}

    class Scope {
    public:
        explicit Scope(std::shared_ptr<InFlight> owner)
            : owner_(std::move(owner)) {
            ++owner_->count_;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() {
            if (--owner_->count_ == 0) owner_->drained_.set();
        }

    private:
        std::shared_ptr<InFlight> owner_;
    };

    Scope enter() { return Scope(shared_from_this()); }

    // Returns once nothing is in flight.
    asio::awaitable<void> drained() {
        while (count_ > 0) {
            drained_.reset();
            co_await drained_.wait();
        }
    }

private:
    LoopEvent drained_;
    size_t count_ = 0;
};

} // namespace brimo::sim
