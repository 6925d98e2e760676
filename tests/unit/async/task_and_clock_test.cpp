#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

struct AsyncTest : testing::Test {
    boost::asio::io_context io;
    ManualClock clock{io};
};

TEST_F(AsyncTest, SleepersWakeInDeadlineOrderIncludingOnesStartedDuringTheAdvance) {
    std::vector<std::string> order;
    auto sleeper = [&](std::string name, Clock::Duration first, Clock::Duration again) {
        return Task<>::spawn(io.get_executor(), [&, name, first, again]() -> Awaitable<void> {
            co_await clock.sleep(first);
            order.push_back(name + "@" +
                            std::to_string((clock.now().time_since_epoch() / 1s) % 100));
            co_await clock.sleep(again);
            order.push_back(name + "@" +
                            std::to_string((clock.now().time_since_epoch() / 1s) % 100));
        });
    };
    auto a = sleeper("a", 10s, 5s);
    auto b = sleeper("b", 12s, 1s);
    clock.advance(14s);
    EXPECT_EQ(order, (std::vector<std::string>{"a@10", "b@12", "b@13"}));
    clock.advance(1s);
    EXPECT_EQ(order.back(), "a@15");
    EXPECT_TRUE(a.done());
    EXPECT_TRUE(b.done());
    EXPECT_EQ(clock.sleepers(), 0u);
}

TEST_F(AsyncTest, CancellingASleepingTaskEndsItWithCancellation) {
    bool resumedAfterSleep = false;
    auto task = Task<>::spawn(io.get_executor(), [&]() -> Awaitable<void> {
        co_await clock.sleep(30s);
        resumedAfterSleep = true;
    });
    clock.runReady();
    EXPECT_EQ(clock.sleepers(), 1u);
    task.cancel();
    clock.runReady();
    EXPECT_TRUE(task.done());
    EXPECT_FALSE(resumedAfterSleep);
    EXPECT_EQ(clock.sleepers(), 0u);

    bool sawCancellation = false;
    Task<>::spawn(io.get_executor(), [&, task]() -> Awaitable<void> {
        try {
            co_await task.result();
        } catch (...) {
            sawCancellation = isCancellation(std::current_exception());
        }
    });
    clock.runReady();
    EXPECT_TRUE(sawCancellation);
}

TEST_F(AsyncTest, SleepIgnoringCancellationLetsTheTaskFinishItsOwnWay) {
    int steps = 0;
    auto task = Task<int>::spawn(io.get_executor(), [&]() -> Awaitable<int> {
        co_await clock.sleepIgnoringCancellation(10s);
        ++steps;
        co_return 7;
    });
    clock.runReady();
    task.cancel();
    clock.runReady();
    EXPECT_EQ(steps, 1);
    int value = 0;
    Task<>::spawn(io.get_executor(),
                  [&, task]() -> Awaitable<void> { value = co_await task.result(); });
    clock.runReady();
    EXPECT_EQ(value, 7);
}

TEST_F(AsyncTest, TaskErrorsReachEveryAwaiter) {
    auto failing = Task<int>::spawn(io.get_executor(), [&]() -> Awaitable<int> {
        co_await clock.sleep(1s);
        throw std::runtime_error("boom");
    });
    std::vector<std::string> seen;
    for (int i = 0; i < 2; ++i) {
        Task<>::spawn(io.get_executor(), [&, failing]() -> Awaitable<void> {
            try {
                co_await failing.result();
            } catch (const std::runtime_error& e) {
                seen.push_back(e.what());
            }
        });
    }
    clock.advance(1s);
    EXPECT_EQ(seen, (std::vector<std::string>{"boom", "boom"}));
}

TEST_F(AsyncTest, OneShotKeepsTheFirstValueAndServesLateWaiters) {
    OneShot<int> shot(io.get_executor());
    std::vector<int> got;
    auto waiter = [&]() -> Awaitable<void> { got.push_back(co_await shot.wait()); };
    Task<>::spawn(io.get_executor(), waiter);
    clock.runReady();
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(shot.resume(1));
    EXPECT_FALSE(shot.resume(2));
    clock.runReady();
    Task<>::spawn(io.get_executor(), waiter);
    clock.runReady();
    EXPECT_EQ(got, (std::vector<int>{1, 1}));
}

TEST_F(AsyncTest, CancelledOneShotWaiterThrowsAndLeavesTheShotUsable) {
    OneShot<> shot(io.get_executor());
    bool cancelled = false;
    auto task = Task<>::spawn(io.get_executor(), [&]() -> Awaitable<void> {
        try {
            co_await shot.wait();
        } catch (...) {
            cancelled = isCancellation(std::current_exception());
        }
    });
    clock.runReady();
    task.cancel();
    clock.runReady();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(shot.resume());
}

TEST_F(AsyncTest, BodyCapturesLiveAsLongAsTheTask) {
    auto text = std::make_shared<std::string>("kept");
    std::weak_ptr<std::string> watch = text;
    std::string seen;
    Task<>::spawn(io.get_executor(), [text = std::move(text), &seen, this]() -> Awaitable<void> {
        co_await clock.sleep(5s);
        seen = *text;
    });
    clock.runReady();
    EXPECT_FALSE(watch.expired());
    clock.advance(5s);
    EXPECT_EQ(seen, "kept");
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace tessarin

namespace tessarin {
namespace {

TEST_F(AsyncTest, CancellingAgainOrAfterTheBodyEndedIsHarmless) {
    // Both run from outside the io_context's loop, while the task's end is still queued: the case
    // where a second emit would reach coroutine frames that are already gone.
    auto sleeping = Task<>::spawn(io.get_executor(), [&]() -> Awaitable<void> { co_await clock.sleep(std::chrono::seconds(5)); });
    clock.runReady();
    sleeping.cancel();
    sleeping.cancel();
    clock.runReady();
    EXPECT_TRUE(sleeping.done());

    auto quick = Task<int>::spawn(io.get_executor(), []() -> Awaitable<int> { co_return 3; });
    io.poll_one();  // the body runs; its completion may still be queued
    quick.cancel();
    clock.runReady();
    EXPECT_TRUE(quick.done());
    quick.cancel();
}

}  // namespace
}  // namespace tessarin
