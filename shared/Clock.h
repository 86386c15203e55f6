#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <list>

// Every sleep and every "now" of the system goes through a Clock, so that long waits
// (keepalives, sweeps, reconnects) can be driven by a fake clock in tests.
namespace brimo {

class Clock {
public:
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<std::chrono::steady_clock, duration>;

    virtual ~Clock() = default;
    // Monotonic: keeps counting while the machine sleeps where the platform allows.
    virtual time_point now() const = 0;
    // Suspends the calling coroutine for `d`. Cancelling the coroutine throws
    // asio::system_error(operation_aborted).
    virtual asio::awaitable<void> sleep(duration d) = 0;

    // The process-wide clock: the system clock unless a test installed another.
    static Clock& current();
    static void install(Clock* clock);
};

class SystemClock final : public Clock {
public:
    time_point now() const override;
    asio::awaitable<void> sleep(duration d) override;
};

// Time moves only through advance(). Use it from the loop thread that runs the sleepers.
class FakeClock final : public Clock {
public:
    time_point now() const override { return now_; }
    asio::awaitable<void> sleep(duration d) override;
    // Moves time forward and wakes every sleeper whose deadline has been reached.
    void advance(duration d);
    size_t sleeperCount() const { return sleepers_.size(); }

private:
    struct Sleeper;
    time_point now_{};
    std::list<Sleeper*> sleepers_;
};

} // namespace brimo
