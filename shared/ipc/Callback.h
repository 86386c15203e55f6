#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace brimo::ipc {

// A move-only function, so that a completion can own a Reply (which cannot be copied) and
// answer from inside it; std::function would demand a copyable callable.
template <class Signature> class Callback;

template <class R, class... Args> class Callback<R(Args...)> {
public:
    Callback() = default;
    Callback(std::nullptr_t) {}
    template <class F,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Callback> &&
                                       std::is_invocable_r_v<R, std::decay_t<F>&, Args...>>>
    Callback(F f)
        : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::move(f))) {}

    R operator()(Args... args) const { return impl_->call(std::forward<Args>(args)...); }
    explicit operator bool() const { return impl_ != nullptr; }

private:
    struct Base {
        virtual ~Base() = default;
        virtual R call(Args... args) = 0;
    };
    template <class F> struct Impl : Base {
        explicit Impl(F f)
            : f(std::move(f)) {}
        R call(Args... args) override { return f(std::forward<Args>(args)...); }
        F f;
    };

    std::unique_ptr<Base> impl_;
};

} // namespace brimo::ipc
