#include "shared/Clock.h"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>

namespace brimo {
namespace {
std::atomic<Clock*> installed{nullptr};
}

Clock& Clock::current() {
    static SystemClock systemClock;
    Clock* clock = installed.load();
    return clock ? *clock : systemClock;
}

void Clock::install(Clock* clock) {
    installed.store(clock);
}

Clock::time_point SystemClock::now() const {
    return std::chrono::time_point_cast<duration>(std::chrono::steady_clock::now());
}

asio::awaitable<void> SystemClock::sleep(duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(asio::use_awaitable);
}

struct FakeClock::Sleeper {
    time_point deadline;
    asio::steady_timer* timer;
    bool woken = false;
};

asio::awaitable<void> FakeClock::sleep(duration d) {
    if (d <= duration::zero()) co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor,
                             asio::steady_timer::time_point::max());
    Sleeper sleeper{now_ + d, &timer};
    sleepers_.push_back(&sleeper);
    auto it = std::prev(sleepers_.end());
    asio::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    sleepers_.erase(it);
    if (!sleeper.woken) throw asio::system_error(asio::error::operation_aborted);
}

void FakeClock::advance(duration d) {
    now_ += d;
    for (Sleeper* sleeper : sleepers_) {
        if (!sleeper->woken && sleeper->deadline <= now_) {
            sleeper->woken = true;
            sleeper->timer->cancel();
        }
    }
}

} // namespace brimo
