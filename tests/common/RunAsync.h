#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>

namespace brimo::test {

// Runs one coroutine to completion on `loop` (driving the loop from the calling thread) and
// returns its result or rethrows its exception.
template <class T> T runAsync(asio::io_context& loop, asio::awaitable<T> work) {
    std::exception_ptr failure;
    std::optional<T> result;
    bool done = false;
    asio::co_spawn(loop, std::move(work), [&](std::exception_ptr e, T value) {
        failure = e;
        if (!e) result.emplace(std::move(value));
        done = true;
    });
    loop.restart();
    while (!done && loop.run_one() > 0) {
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

inline void runAsync(asio::io_context& loop, asio::awaitable<void> work) {
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(loop, std::move(work), [&](std::exception_ptr e) {
        failure = e;
        done = true;
    });
    loop.restart();
    while (!done && loop.run_one() > 0) {
    }
    if (failure) std::rethrow_exception(failure);
}

} // namespace brimo::test
