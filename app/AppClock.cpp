#include "app/AppClock.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace brimo::app {

namespace {

// The single-shot belongs to a QObject of its own; cancelling only empties the call, so a timer
// may be cancelled or dropped anywhere, even from inside its own call or from another thread.
class QtTimer final : public AppTimer {
public:
    QtTimer(std::chrono::milliseconds delay, std::function<void()> fire)
        : fire_(std::make_shared<std::function<void()>>(std::move(fire)))
        , context_(new QObject) {
        QTimer::singleShot(delay, context_, [fire = fire_] {
            if (auto call = std::exchange(*fire, nullptr)) call();
        });
    }
    ~QtTimer() override { context_->deleteLater(); }
    void cancel() override { *fire_ = nullptr; }

private:
    std::shared_ptr<std::function<void()>> fire_;
    QObject* context_;
};

} // namespace

std::shared_ptr<AppTimer> QtAppClock::after(std::chrono::milliseconds delay,
                                            std::function<void()> fire) {
    return std::make_shared<QtTimer>(delay, std::move(fire));
}

struct FakeAppClock::Timer final : AppTimer {
    std::chrono::milliseconds deadline;
    std::function<void()> fire;
    bool done = false;
    void cancel() override {
        done = true;
        fire = nullptr;
    }
};

std::shared_ptr<AppTimer> FakeAppClock::after(std::chrono::milliseconds delay,
                                              std::function<void()> fire) {
    auto timer = std::make_shared<Timer>();
    timer->deadline = now_ + delay;
    timer->fire = std::move(fire);
    timers_.push_back(timer);
    return timer;
}

FakeAppClock::~FakeAppClock() {
    for (auto& timer : timers_)
        timer->cancel();
}

void FakeAppClock::advance(std::chrono::milliseconds delay) {
    const auto target = now_ + delay;
    // A timer that fires may start others; those that fall due before `target` fire too.
    for (;;) {
        std::erase_if(timers_, [](const auto& timer) { return timer->done; });
        auto next = std::min_element(timers_.begin(), timers_.end(),
                                     [](auto& a, auto& b) { return a->deadline < b->deadline; });
        if (next == timers_.end() || (*next)->deadline > target) break;
        auto timer = *next;
        now_ = std::max(now_, timer->deadline);
        timer->done = true;
        auto fire = std::move(timer->fire);
        fire();
    }
    now_ = target;
}

size_t FakeAppClock::pending() const {
    return std::count_if(timers_.begin(), timers_.end(),
                         [](const auto& timer) { return !timer->done; });
}

} // namespace brimo::app
