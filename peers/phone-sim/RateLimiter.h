#pragma once

#include <chrono>
#include <cstddef>

namespace brimo::sim {

// A token bucket in its "theoretical arrival time" form: each reservation pushes the time at
// which the link is free again, and a caller only waits for the part beyond the allowed burst.
// Reads and writes of one simulated cable share one limiter, as they share one bus.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimiter(double bytesPerSecond,
                         std::chrono::nanoseconds burst = std::chrono::milliseconds(10));

    // Accounts for `bytes` crossing the link at `now`; returns how long to wait before they
    // count as delivered.
    std::chrono::nanoseconds reserve(size_t bytes, Clock::time_point now);

private:
    double bytesPerSecond_;
    std::chrono::nanoseconds burst_;
    Clock::time_point linkFreeAt_{};
};

} // namespace brimo::sim
