#include "peers/phone-sim/RateLimiter.h"

#include <algorithm>

namespace brimo::sim {

RateLimiter::RateLimiter(double bytesPerSecond, std::chrono::nanoseconds burst)
    : bytesPerSecond_(bytesPerSecond)
    , burst_(burst) {}

std::chrono::nanoseconds RateLimiter::reserve(size_t bytes, Clock::time_point now) {
    auto transfer = std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(
        static_cast<double>(bytes) * 1e9 / bytesPerSecond_));
    linkFreeAt_ = std::max(linkFreeAt_, now) + transfer;
    return std::max(std::chrono::nanoseconds(0), linkFreeAt_ - now - burst_);
}

} // namespace brimo::sim
