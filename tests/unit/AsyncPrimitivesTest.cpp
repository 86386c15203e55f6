#include "shared/Clock.h"
#include "shared/Offload.h"
#include "shared/Race.h"
#include "shared/SerialGate.h"
#include "tests/common/RunAsync.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <gtest/gtest.h>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace brimo {
namespace {

using namespace std::chrono_literals;

TEST(FakeClock, SleepersWakeOnlyWhenTimeReachesTheirDeadline) {
    asio::io_context loop;
    FakeClock clock;
    std::vector<std::string> woke;
    auto sleeper = [&](std::string name, Clock::duration d) -> asio::awaitable<void> {
        co_await clock.sleep(d);
        woke.push_back(name + "@" + std::to_string(clock.now().time_since_epoch() / 1s));
    };
    asio::co_spawn(loop, sleeper("short", 3s), asio::detached);
    asio::co_spawn(loop, sleeper("long", 120s), asio::detached);
    loop.poll();
    EXPECT_EQ(clock.sleeperCount(), 2u);

    clock.advance(2999ms);
    loop.poll();
    EXPECT_TRUE(woke.empty());
    clock.advance(1ms);
    loop.poll();
    EXPECT_EQ(woke, std::vector<std::string>{"short@3"});
    clock.advance(200s);
    loop.poll();
    EXPECT_EQ(woke, (std::vector<std::string>{"short@3", "long@203"}));
    EXPECT_EQ(clock.sleeperCount(), 0u);
}

TEST(FakeClock, CancellingASleeperThrowsAndForgetsIt) {
    asio::io_context loop;
    FakeClock clock;
    asio::cancellation_signal signal;
    std::exception_ptr failure;
    bool finished = false;
    asio::co_spawn(loop, clock.sleep(10s),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                       failure = e;
                       finished = true;
                   }));
    loop.poll();
    ASSERT_EQ(clock.sleeperCount(), 1u);
    signal.emit(asio::cancellation_type::all);
    loop.poll();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), asio::system_error);
    EXPECT_EQ(clock.sleeperCount(), 0u);
    clock.advance(20s); // must not touch the destroyed sleeper
    loop.poll();
}

TEST(SerialGate, HoldersDoNotInterleaveAcrossSuspensionsAndWaitersKeepTheirOrder) {
    asio::io_context loop;
    SerialGate gate(loop.get_executor());
    std::vector<std::string> trace;
    auto worker = [&](std::string name) -> asio::awaitable<void> {
        auto hold = co_await gate.acquire();
        trace.push_back(name + "+");
        // Suspend twice while holding: another worker must not get in.
        co_await asio::post(loop, asio::use_awaitable);
        co_await asio::post(loop, asio::use_awaitable);
        trace.push_back(name + "-");
    };
    for (const char* name : {"a", "b", "c"})
        asio::co_spawn(loop, worker(name), asio::detached);
    loop.run();
    EXPECT_EQ(trace, (std::vector<std::string>{"a+", "a-", "b+", "b-", "c+", "c-"}));
}

TEST(Offload, ResultsAndFailuresComeBackOnTheLoopWhichStaysBusyMeanwhile) {
    for (int round = 0; round < 100; ++round) {
        // A fresh loop each round, destroyed right after: the worker must not touch it late.
        asio::io_context loop;
        std::thread::id resumedOn;
        int value = 0;
        std::string failure;
        asio::co_spawn(
            loop,
            [&]() -> asio::awaitable<void> {
                value = co_await offload([] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    return 41 + 1;
                });
                resumedOn = std::this_thread::get_id();
                try {
                    co_await offload([]() -> void { throw std::runtime_error("disk gone"); });
                } catch (const std::runtime_error& e) {
                    failure = e.what();
                }
            },
            asio::detached);
        // run() returns only when the coroutine is done, not while its work is away.
        loop.run();
        // Stepping the loop only until the result arrives, then dropping it at once.
        asio::io_context stepped;
        EXPECT_EQ(test::runAsync(stepped, offload([round] { return round; })), round);
        EXPECT_EQ(value, 42);
        EXPECT_EQ(failure, "disk gone");
        EXPECT_EQ(resumedOn, std::this_thread::get_id());
    }
}

TEST(Offload, DestroyingTheLoopWaitsForAJobStillHeadedForItAndDropsItsResult) {
    auto loop = std::make_unique<asio::io_context>();
    std::latch release(1);
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    bool resumed = false;
    asio::co_spawn(
        *loop,
        [&]() -> asio::awaitable<void> {
            co_await offload([&] {
                started = true;
                release.wait();
                finished = true;
            });
            resumed = true;
        },
        asio::detached);
    ASSERT_TRUE(test::runUntil(*loop, [&] { return started.load(); }));
    // Released only once the loop is (almost surely) being destroyed, so the job's result is
    // posted to a loop on its way out.
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        release.count_down();
    });
    loop.reset();
    EXPECT_TRUE(finished.load());
    releaser.join();
    EXPECT_FALSE(resumed);
}

TEST(FinishWithin, TheFirstToFinishWinsAndTheLoserLeavesNothingBehind) {
    asio::io_context loop;
    FakeClock clock;
    asio::steady_timer gate(loop, asio::steady_timer::time_point::max());
    bool workEnded = false;
    auto slowWork = [&]() -> asio::awaitable<int> {
        asio::error_code ignored;
        co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        workEnded = true;
        co_return 7;
    };

    // In time: the value, and the clock forgets the time-out.
    std::optional<std::optional<int>> result;
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> { result = co_await finishWithin(clock, 3s, slowWork()); },
        asio::detached);
    loop.poll();
    ASSERT_EQ(clock.sleeperCount(), 1u);
    gate.cancel();
    loop.restart();
    loop.poll();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, 7);
    EXPECT_EQ(clock.sleeperCount(), 0u);

    // Too late: none, while the work runs on to its end in the background.
    workEnded = false;
    result.reset();
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> { result = co_await finishWithin(clock, 3s, slowWork()); },
        asio::detached);
    loop.restart();
    loop.poll();
    clock.advance(3s);
    loop.restart();
    loop.poll();
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_FALSE(workEnded);
    gate.cancel();
    loop.restart();
    loop.poll();
    EXPECT_TRUE(workEnded);

    // A failing work fails the race.
    auto failing = []() -> asio::awaitable<int> {
        throw std::runtime_error("tool vanished");
        co_return 0;
    };
    EXPECT_THROW(test::runAsync(loop, finishWithin(clock, 3s, failing())), std::runtime_error);
}

} // namespace
} // namespace brimo