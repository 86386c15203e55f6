#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

// A reply that is delivered at most once, for results that racing tasks may both try to
// complete: the first delivery resumes the waiter, every later one finds nothing to resume.
namespace brimo {

template <class T> class OnceReply {
public:
    explicit OnceReply(std::function<void(T)> continuation)
        : continuation_(std::move(continuation)) {}

    // Whether this call was the one that delivered. The waiter runs outside the lock.
    bool deliver(T value) {
        std::optional<std::function<void(T)>> waiter;
        {
            std::lock_guard guard(lock_);
            waiter = std::exchange(continuation_, std::nullopt);
        }
        if (!waiter) return false;
        (*waiter)(std::move(value));
        return true;
    }

private:
    std::mutex lock_;
    std::optional<std::function<void(T)>> continuation_;
};

template <class T> struct OnceReplyHolder { std::shared_ptr<OnceReply<T>> once; };

// A reply closure that can be handed between concurrent tasks.
template <class T> struct SendableReply { std::function<void(T)> handler; };

} // namespace brimo
