#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <optional>
#include <type_traits>

// Blocking work (native I/O, child-process waits, fsync, large file I/O) never runs on the
// event loop: it runs on a small worker pool and its result completes back on the caller.
namespace brimo {

asio::thread_pool& blockingPool();

namespace detail {
// The caller's loop keeps a unit of work while the job runs; the guard travels back with the
// result and is released on the loop, so the worker never touches the loop after handing the
// result over (the loop may be gone by the time the worker thread unwinds).
template <class Result> struct OffloadInitiation {
    template <class Handler, class Work>
    void operator()(Handler handler, asio::thread_pool* pool, Work work) const {
        auto guard = asio::make_work_guard(asio::get_associated_executor(handler));
        asio::post(*pool, [handler = std::move(handler), work = std::move(work),
                           guard = std::move(guard)]() mutable {
            std::exception_ptr failure;
            if constexpr (std::is_void_v<Result>) {
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
                auto loop = guard.get_executor();
                asio::post(loop, [handler = std::move(handler), guard = std::move(guard),
                                  failure]() mutable { std::move(handler)(failure); });
            } else {
                std::optional<Result> value;
                try {
                    value.emplace(work());
                } catch (...) {
                    failure = std::current_exception();
                }
                auto loop = guard.get_executor();
                asio::post(loop, [handler = std::move(handler), guard = std::move(guard), failure,
                                  value = std::move(value)]() mutable {
                    std::move(handler)(failure, value ? std::move(*value) : Result{});
                });
            }
        });
    }
};
template <class Result> struct OffloadSignature { using type = void(std::exception_ptr, Result); };
template <> struct OffloadSignature<void> { using type = void(std::exception_ptr); };
} // namespace detail

// Runs `work` on `pool` (a one-thread pool is a serial queue) and resumes the caller on its
// own executor with the result or the exception.
template <class F>
auto offloadTo(asio::thread_pool& pool, F work) -> asio::awaitable<std::invoke_result_t<F&>> {
    using Result = std::invoke_result_t<F&>;
    using Signature = typename detail::OffloadSignature<Result>::type;
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, Signature>(
        detail::OffloadInitiation<Result>{}, asio::use_awaitable, &pool, std::move(work));
}

template <class F> auto offload(F work) -> asio::awaitable<std::invoke_result_t<F&>> {
    return offloadTo(blockingPool(), std::move(work));
}

} // namespace brimo
