#pragma once

#include "shared/ipc/ClientConnection.h"

#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <tuple>

namespace brimo::test {

// Replies seen across all calls of a run that the caller no longer waits for: a second reply to
// one call, or a first one that came after the call's bound.
struct ReplyLedger {
    int extraReplies = 0;
    int lateReplies = 0;
};

// The outcome of one call: the completion's values, the error the proxy reported, or neither
// when nothing came within the bound.
template <class... Values> struct CallResult {
    std::optional<std::tuple<Values...>> values;
    std::optional<ipc::RemoteError> error;
    bool answered() const { return values || error; }
};

// Makes one call through a fresh proxy of `connection` and waits up to `bound` for its reply.
// `issue(host, done)` starts the call with `done` as its completion. The completion and the
// proxy's error handler both keep the call's state, so a reply after the bound or a second reply
// is still counted in `ledger`.
template <class... Values, class Issue>
asio::awaitable<CallResult<Values...>>
boundedCall(ipc::ClientConnection& connection, std::chrono::milliseconds bound,
            std::shared_ptr<ReplyLedger> ledger, Issue issue) {
    struct State {
        explicit State(asio::any_io_executor executor)
            : timer(std::move(executor)) {}
        asio::steady_timer timer;
        int replies = 0;
        bool waitedOut = false;
        CallResult<Values...> result;
    };
    auto state = std::make_shared<State>(co_await asio::this_coro::executor);
    // True for the first reply, which the waiting caller takes.
    auto first = [state, ledger] {
        if (++state->replies > 1) {
            ++ledger->extraReplies;
            return false;
        }
        if (state->waitedOut) ++ledger->lateReplies;
        return true;
    };
    auto host = connection.remoteObjectProxy([state, first](const ipc::RemoteError& error) {
        if (!first()) return;
        state->result.error = error;
        state->timer.cancel();
    });
    issue(host, ipc::Callback<void(Values...)>([state, first](Values... values) {
              if (!first()) return;
              state->result.values.emplace(std::move(values)...);
              state->timer.cancel();
          }));
    if (state->replies == 0) {
        state->timer.expires_after(bound);
        std::error_code ignored;
        co_await state->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (state->replies == 0) state->waitedOut = true;
    co_return state->result;
}

} // namespace brimo::test
