#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <type_traits>

// Blocking work (native I/O, child-process waits, fsync, large file I/O) never runs on the
// event loop: it runs on a small worker pool and its result completes back on the caller.
namespace brimo {

asio::thread_pool& blockingPool();

template <class F> auto offload(F work) -> asio::awaitable<std::invoke_result_t<F&>> {
    using Result = std::invoke_result_t<F&>;
    co_return co_await asio::co_spawn(
        blockingPool(),
        [work = std::move(work)]() mutable -> asio::awaitable<Result> { co_return work(); },
        asio::use_awaitable);
}

} // namespace brimo
