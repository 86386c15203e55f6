#include "shared/Offload.h"

namespace brimo {

asio::thread_pool& blockingPool() {
    static asio::thread_pool pool(2);
    return pool;
}

namespace detail {

asio::execution_context::id OffloadTracker::id;

OffloadTracker::OffloadTracker(asio::execution_context& context)
    : service(context) {}

OffloadTracker::Ticket::Ticket(OffloadTracker& tracker)
    : tracker_(&tracker) {
    std::lock_guard lock(tracker.mutex_);
    ++tracker.jobs_;
}

OffloadTracker::Ticket::~Ticket() {
    if (!tracker_) return;
    // Notified under the lock: once it is released the context may be destroyed at once.
    std::lock_guard lock(tracker_->mutex_);
    if (--tracker_->jobs_ == 0) tracker_->idle_.notify_all();
}

void OffloadTracker::shutdown() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_ == 0; });
}

} // namespace detail
} // namespace brimo
