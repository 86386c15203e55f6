#pragma once

#include "shared/ipc/Value.h"

#include <memory>
#include <utility>

namespace brimo::ipc {

// Where a method's answer goes: the method return, or an error when nobody answered.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual void send(Values values) = 0;
    virtual void abandon() = 0;
};

// The reply of one incoming call. Calling it sends the method return; later calls do nothing.
// Destroyed without being called, it answers with kErrorNoReply so that the caller never hangs.
// It may be kept across co_awaits and called later, but only on the connection's loop thread.
template <class... Ts> class Reply {
public:
    Reply() = default;
    explicit Reply(std::unique_ptr<ReplySink> sink)
        : sink_(std::move(sink)) {}
    Reply(Reply&&) noexcept = default;
    Reply& operator=(Reply&& other) noexcept {
        if (this != &other) {
            abandon();
            sink_ = std::move(other.sink_);
        }
        return *this;
    }
    ~Reply() { abandon(); }

    void operator()(Ts... values) {
        if (auto sink = std::move(sink_)) sink->send(valuesOf(std::move(values)...));
    }

private:
    void abandon() {
        if (auto sink = std::move(sink_)) sink->abandon();
    }

    std::unique_ptr<ReplySink> sink_;
};

} // namespace brimo::ipc
