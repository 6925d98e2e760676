#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/deadline.hpp"
#include "core/async/manual_clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "core/async/task_group.hpp"
#include "core/log/diagnostics.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

struct AsyncTest : testing::Test {
    boost::asio::io_context io;
    ManualClock clock{io};
    std::vector<std::string> logged;

    AsyncTest() {
        Diagnostics::setSink([this](std::string_view line) { logged.emplace_back(line); });
    }
    ~AsyncTest() override { Diagnostics::setSink(nullptr); }
};

TEST_F(AsyncTest, SleepersWakeInDeadlineOrderIncludingOnesStartedDuringTheAdvance) {
    std::vector<std::string> order;
    auto sleeper = [&](std::string name, Clock::Duration first, Clock::Duration again) {
        return Task<>::spawn(
            io.get_executor(), "test", [&, name, first, again]() -> Awaitable<void> {
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

// Cancelling again, or after the body ended while its completion is still queued, must not reach
// coroutine frames that are already gone.
TEST_F(AsyncTest, CancellingEndsASleepingTaskWithCancellationOnceAndIsHarmlessAfterItsEnd) {
    bool resumedAfterSleep = false;
    auto task = Task<>::spawn(io.get_executor(), "test", [&]() -> Awaitable<void> {
        co_await clock.sleep(30s);
        resumedAfterSleep = true;
    });
    clock.runReady();
    EXPECT_EQ(clock.sleepers(), 1u);
    task.cancel();
    task.cancel();
    clock.runReady();
    EXPECT_TRUE(task.done());
    EXPECT_FALSE(resumedAfterSleep);
    EXPECT_EQ(clock.sleepers(), 0u);
    bool sawCancellation = false;
    Task<>::spawn(io.get_executor(), "test", [&, task]() -> Awaitable<void> {
        try {
            co_await task.result();
        } catch (...) {
            sawCancellation = isCancellation(std::current_exception());
        }
    });
    clock.runReady();
    EXPECT_TRUE(sawCancellation);

    auto quick =
        Task<int>::spawn(io.get_executor(), "test", []() -> Awaitable<int> { co_return 3; });
    io.poll_one();  // the body runs; its completion may still be queued
    quick.cancel();
    clock.runReady();
    EXPECT_TRUE(quick.done());
    quick.cancel();
    EXPECT_TRUE(logged.empty());
}

// The first resume wins, a late waiter gets it at once, and a cancelled waiter leaves the shot
// usable.
TEST_F(AsyncTest, OneShotKeepsTheFirstValueServesLateWaitersAndSurvivesACancelledOne) {
    OneShot<int> shot(io.get_executor());
    std::vector<int> got;
    bool cancelled = false;
    auto waiter = [&]() -> Awaitable<void> {
        try {
            got.push_back(co_await shot.wait());
        } catch (...) {
            cancelled = isCancellation(std::current_exception());
        }
    };
    auto gone = Task<>::spawn(io.get_executor(), "test", waiter);
    Task<>::spawn(io.get_executor(), "test", waiter);
    clock.runReady();
    gone.cancel();
    clock.runReady();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(shot.resume(1));
    EXPECT_FALSE(shot.resume(2));
    clock.runReady();
    Task<>::spawn(io.get_executor(), "test", waiter);
    clock.runReady();
    EXPECT_EQ(got, (std::vector<int>{1, 1}));
}

TEST_F(AsyncTest, BodyCapturesLiveAsLongAsTheTask) {
    auto text = std::make_shared<std::string>("kept");
    std::weak_ptr<std::string> watch = text;
    std::string seen;
    Task<>::spawn(io.get_executor(), "test",
                  [text = std::move(text), &seen, this]() -> Awaitable<void> {
                      co_await clock.sleep(5s);
                      seen = *text;
                  });
    clock.runReady();
    EXPECT_FALSE(watch.expired());
    clock.advance(5s);
    EXPECT_EQ(seen, "kept");
    EXPECT_TRUE(watch.expired());
}

// A failure reaches every awaiter; only one nobody awaits is logged, once, with what failed.
TEST_F(AsyncTest, TaskErrorsReachEveryAwaiterAndOnlyUnawaitedOnesAreLogged) {
    auto fail = [&](std::string what) {
        return Task<>::spawn(io.get_executor(), std::move(what), [&]() -> Awaitable<void> {
            co_await clock.sleep(1s);
            throw std::runtime_error("boom");
        });
    };
    fail("the upload");
    auto awaited = fail("an awaited step");
    std::vector<std::string> seen;
    for (int i = 0; i < 2; ++i) {
        Task<>::spawn(io.get_executor(), "awaiting", [&, awaited]() -> Awaitable<void> {
            try {
                co_await awaited.result();
            } catch (const std::runtime_error& e) {
                seen.push_back(e.what());
            }
        });
    }
    auto cancelled = fail("a cancelled wait");
    clock.runReady();
    cancelled.cancel();
    clock.advance(1s);
    EXPECT_EQ(seen, (std::vector<std::string>{"boom", "boom"}));
    EXPECT_EQ(logged, (std::vector<std::string>{"the upload failed: boom"}));
}

TEST_F(AsyncTest, TaskGroupCancelsAndJoinsEveryTaskAndForgetsFinishedOnes) {
    auto group = std::make_unique<TaskGroup>(io.get_executor());
    int woke = 0;
    for (auto delay : {1s, 5s, 9s}) {
        group->spawn("sleeper", [&, delay]() -> Awaitable<void> {
            co_await clock.sleep(delay);
            ++woke;
        });
    }
    clock.advance(1s);
    EXPECT_EQ(group->running(), 2u);
    bool joined = false;
    Task<>::spawn(io.get_executor(), "joining", [&]() -> Awaitable<void> {
        co_await group->joinAll();
        joined = true;
    });
    clock.advance(4s);
    EXPECT_FALSE(joined);
    group->spawn("late", [&]() -> Awaitable<void> { co_await clock.sleep(100s); });
    group->cancelAll();
    clock.runReady();
    EXPECT_TRUE(joined);
    EXPECT_EQ(woke, 2);
    EXPECT_EQ(group->running(), 0u);
    EXPECT_EQ(clock.sleepers(), 0u);

    // Destroying the group stops what still runs.
    group->spawn("orphan", [&]() -> Awaitable<void> {
        co_await clock.sleep(3s);
        ++woke;
    });
    clock.runReady();
    group.reset();
    clock.advance(3s);
    EXPECT_EQ(woke, 2);
    EXPECT_TRUE(logged.empty());
}

TEST_F(AsyncTest, DeadlineFiresOnceAtItsLimitUnlessDisarmedRearmedOrRestarted) {
    auto clockPtr = std::shared_ptr<Clock>(&clock, [](Clock*) {});
    int fired = 0;
    Deadline deadline(io.get_executor(), clockPtr);
    deadline.arm(10s, [&] { ++fired; });
    clock.advance(9s);
    deadline.restart();  // an inactivity limit: the 10 s count again from here
    clock.advance(9s);
    EXPECT_EQ(fired, 0);
    clock.advance(1s);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(deadline.expired());
    EXPECT_FALSE(deadline.armed());
    clock.advance(60s);
    EXPECT_EQ(fired, 1);

    deadline.arm(5s, [&] { fired += 10; });
    clock.advance(3s);
    deadline.arm(5s, [&] { fired += 100; });  // re-arming replaces the first arming
    clock.advance(3s);
    EXPECT_EQ(fired, 1);
    clock.advance(2s);
    EXPECT_EQ(fired, 101);

    deadline.arm(5s, [&] { fired += 1000; });
    clock.advance(4s);
    deadline.disarm();
    EXPECT_FALSE(deadline.expired());
    clock.advance(10s);
    EXPECT_EQ(fired, 101);
    EXPECT_EQ(clock.sleepers(), 0u);
}

TEST_F(AsyncTest, ADeadlineDisarmedAfterItsTimerWokeDoesNotFire) {
    // The timer's wake-up and a disarm in the same turn: the wake-up is queued when the owner
    // disarms, and must find the arming gone.
    auto clockPtr = std::shared_ptr<Clock>(&clock, [](Clock*) {});
    int fired = 0;
    auto deadline = std::make_unique<Deadline>(io.get_executor(), clockPtr);
    deadline->arm(5s, [&] { ++fired; });
    Task<>::spawn(io.get_executor(), "owner", [&]() -> Awaitable<void> {
        co_await clock.sleep(5s);  // started after the deadline's timer, so woken after it
        deadline.reset();
    });
    clock.advance(5s);
    EXPECT_EQ(fired, 1);  // the timer came first here; now the other order
    deadline = std::make_unique<Deadline>(io.get_executor(), clockPtr);
    Task<>::spawn(io.get_executor(), "owner", [&]() -> Awaitable<void> {
        co_await clock.sleep(5s);
        deadline->disarm();
    });
    clock.runReady();
    deadline->arm(5s, [&] { ++fired; });
    clock.advance(5s);
    EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace tessarin
