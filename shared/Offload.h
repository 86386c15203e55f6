#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/context.hpp>
#include <asio/execution_context.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/query.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

// Blocking work (native I/O, child-process waits, fsync, large file I/O) never runs on the
// event loop: it runs on a small worker pool and its result completes back on the caller.
namespace brimo {

asio::thread_pool& blockingPool();

namespace detail {

// Counts the jobs that will complete on one execution context. Destroying the context waits
// here, before its scheduler goes, until every job has handed its result over and let go of
// it: asio wakes the loop only after queueing a result, so a loop that ran the result and was
// destroyed at once would otherwise still be signalled by the worker, and a job still running
// would post into freed memory.
class OffloadTracker final : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit OffloadTracker(asio::execution_context& context);

    // Held by a job from its start on the caller's loop until the worker is done with it.
    class Ticket {
    public:
        explicit Ticket(OffloadTracker& tracker);
        Ticket(Ticket&& other) noexcept
            : tracker_(std::exchange(other.tracker_, nullptr)) {}
        Ticket& operator=(Ticket&&) = delete;
        ~Ticket();

    private:
        OffloadTracker* tracker_;
    };

private:
    void shutdown() override;

    std::mutex mutex_;
    std::condition_variable idle_;
    size_t jobs_ = 0;
};

// One job on the pool. The caller's loop keeps a unit of work while the job runs; the guard
// travels back with the result and is released on the loop. The ticket is declared first so
// that it is released last, once the worker no longer touches anything of the loop's.
template <class Result, class Handler, class Work> struct OffloadJob {
    OffloadTracker::Ticket ticket;
    Handler handler;
    Work work;
    asio::executor_work_guard<asio::associated_executor_t<Handler>> guard;

    void operator()() {
        std::exception_ptr failure;
        auto loop = guard.get_executor();
        if constexpr (std::is_void_v<Result>) {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            asio::post(loop, [handler = std::move(handler), guard = std::move(guard),
                              failure = std::move(failure)]() mutable {
                std::move(handler)(std::move(failure));
            });
        } else {
            std::optional<Result> value;
            try {
                value.emplace(work());
            } catch (...) {
                failure = std::current_exception();
            }
            asio::post(loop, [handler = std::move(handler), guard = std::move(guard),
                              failure = std::move(failure), value = std::move(value)]() mutable {
                std::move(handler)(std::move(failure), value ? std::move(*value) : Result{});
            });
        }
    }
};

template <class Result> struct OffloadInitiation {
    template <class Handler, class Work>
    void operator()(Handler handler, asio::thread_pool* pool, Work work) const {
        auto executor = asio::get_associated_executor(handler);
        auto& tracker =
            asio::use_service<OffloadTracker>(asio::query(executor, asio::execution::context));
        auto guard = asio::make_work_guard(executor);
        asio::post(*pool, OffloadJob<Result, Handler, Work>{OffloadTracker::Ticket(tracker),
                                                            std::move(handler), std::move(work),
                                                            std::move(guard)});
    }
};

template <class Result> struct OffloadSignature { using type = void(std::exception_ptr, Result); };
template <> struct OffloadSignature<void> { using type = void(std::exception_ptr); };
} // namespace detail

// Runs `work` on `pool` (a one-thread pool is a serial queue) and resumes the caller on its
// own executor with the result or the exception. Destroying the caller's context waits for the
// jobs still headed for it.
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
