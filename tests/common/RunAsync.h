#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>

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

namespace brimo::test {

// Drives `loop` until `done()` holds or `limit` passes; returns whether it holds.
template <class Predicate>
bool runUntil(asio::io_context& loop, Predicate done,
              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        loop.restart();
        loop.run_for(std::chrono::milliseconds(20));
    }
    return done();
}

// Polls `done()` from the calling thread until it holds or `limit` passes.
template <class Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

} // namespace brimo::test
