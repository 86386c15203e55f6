#pragma once

#include "shared/Clock.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <memory>
#include <optional>

// Time-outs are races between the awaited work and a sleep on the clock; the first to finish
// wins. The work is not interrupted when the time-out wins (the operations we wait on cannot be
// cancelled halfway): it runs on to its end in the background, and the caller makes it end
// (terminates the child, stops the engine). Its late result is dropped.
namespace brimo {

namespace detail {
template <class T> struct RaceState {
    explicit RaceState(const asio::any_io_executor& executor)
        : wake(executor, asio::steady_timer::time_point::max()) {}
    std::optional<T> value;
    std::exception_ptr failure;
    bool workDone = false;
    bool timedOut = false;
    asio::steady_timer wake;
    asio::cancellation_signal stopSleep;
};
} // namespace detail

// The work's result (or its exception) when it finishes within `timeout`; none otherwise.
template <class T>
asio::awaitable<std::optional<T>> finishWithin(Clock& clock, Clock::duration timeout,
                                               asio::awaitable<T> work) {
    auto executor = co_await asio::this_coro::executor;
    auto state = std::make_shared<detail::RaceState<T>>(executor);
    auto runWork = [state, work = std::move(work)]() mutable -> asio::awaitable<void> {
        try {
            state->value.emplace(co_await std::move(work));
        } catch (...) {
            state->failure = std::current_exception();
        }
        state->workDone = true;
        state->wake.cancel();
    };
    auto runSleep = [state, &clock, timeout]() -> asio::awaitable<void> {
        try {
            co_await clock.sleep(timeout);
        } catch (const std::exception&) {
            co_return; // the work won
        }
        state->timedOut = true;
        state->wake.cancel();
    };
    asio::co_spawn(executor, std::move(runWork), asio::detached);
    asio::co_spawn(executor, std::move(runSleep),
                   asio::bind_cancellation_slot(state->stopSleep.slot(), asio::detached));
    while (!state->workDone && !state->timedOut) {
        asio::error_code ignored;
        co_await state->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (!state->workDone) co_return std::nullopt;
    state->stopSleep.emit(asio::cancellation_type::terminal);
    if (state->failure) std::rethrow_exception(state->failure);
    co_return std::move(state->value);
}

} // namespace brimo
