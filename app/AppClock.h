#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>

// Timers of the app's main thread. The version and shutdown races, the pauses of the service
// reset and the reconnect wait all go through an AppClock, so that tests drive them with a
// fake one in milliseconds.
namespace brimo::app {

class AppTimer {
public:
    virtual ~AppTimer() = default;
    // The timer will not fire; without effect once it has.
    virtual void cancel() = 0;
};

class AppClock {
public:
    virtual ~AppClock() = default;
    // Calls `fire` on the main thread once `delay` has passed (monotonic), unless the timer is
    // cancelled first.
    virtual std::shared_ptr<AppTimer> after(std::chrono::milliseconds delay,
                                            std::function<void()> fire) = 0;
};

// QTimer on the main thread.
class QtAppClock final : public AppClock {
public:
    std::shared_ptr<AppTimer> after(std::chrono::milliseconds delay,
                                    std::function<void()> fire) override;
};

// Time moves only through advance(), called on the main thread.
class FakeAppClock final : public AppClock {
public:
    FakeAppClock() = default;
    // Drops the calls of timers still pending, and whatever they hold.
    ~FakeAppClock() override;
    std::shared_ptr<AppTimer> after(std::chrono::milliseconds delay,
                                    std::function<void()> fire) override;
    // Moves time forward, firing every timer that has come due, earliest first.
    void advance(std::chrono::milliseconds delay);
    // Timers neither fired nor cancelled.
    size_t pending() const;

private:
    struct Timer;
    std::chrono::milliseconds now_{0};
    std::list<std::shared_ptr<Timer>> timers_;
};

} // namespace brimo::app
