#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

#include "core/async/deadline.hpp"
#include "core/async/manual_clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "core/async/task_group.hpp"
#include "core/async/with_timeout.hpp"
#include "core/log/diagnostics.hpp"
#include "support/pending.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

struct AsyncTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    std::vector<std::string> logged;

    AsyncTest() {
        Diagnostics::setSink([this](std::string_view line) { logged.emplace_back(line); });
    }
    ~AsyncTest() override { Diagnostics::setSink(nullptr); }
    template <class Body>
    Task<> spawn(Body body, std::string what = "test") {
        return Task<>::spawn(io.get_executor(), std::move(what), std::move(body));
    }
    auto sleepThen(Clock::Duration delay, std::function<void()> then) {
        return [this, delay, then]() -> Awaitable<void> {
            co_await clock->sleep(delay);
            then();
        };
    }
};

// Each sleeper wakes exactly at its own due time, in due order (ties in the order they began),
// including sleeps begun during the advance; what a body captured lives as long as its task.
TEST_F(AsyncTest, SleepersWakeInDueOrderAtTheirOwnDueTimeAndKeepTheirCapturesAlive) {
    std::vector<std::string> order;
    auto kept = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = kept;
    auto sleeper = [&](std::string name, Clock::Duration first, Clock::Duration again) {
        return spawn([&, name, first, again, kept]() -> Awaitable<void> {
            for (const auto duration : {first, again}) {
                co_await clock->sleep(duration);
                order.push_back(name + std::to_string(clock->now().time_since_epoch() / 1s % 100));
            }
        });
    };
    auto a = sleeper("a", 10s, 5s), b = sleeper("b", 12s, 1s), c = sleeper("c", 10s, 5s);
    kept.reset();
    clock->advance(14s);
    EXPECT_EQ(order, (std::vector<std::string>{"a10", "c10", "b12", "b13"}));
    EXPECT_FALSE(watch.expired());
    clock->advance(1s);
    EXPECT_EQ(order, (std::vector<std::string>{"a10", "c10", "b12", "b13", "a15", "c15"}));
    EXPECT_TRUE(a.done() && b.done() && c.done() && watch.expired());
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(AsyncTest, TaskErrorsReachEveryAwaiterAndOnlyUnawaitedOnesAreLogged) {
    auto fail = [&](std::string what) {
        return spawn(sleepThen(1s, [] { throw std::runtime_error("boom"); }), std::move(what));
    };
    fail("the upload");
    auto awaited = fail("an awaited step"), cancelled = fail("a cancelled wait");
    test::Pending<void> first(io, awaited.result()), second(io, awaited.result());
    clock->runReady();
    cancelled.cancel();
    clock->advance(1s);
    for (auto* awaiter : {&first, &second}) {
        EXPECT_STREQ(test::failure<std::runtime_error>(*awaiter)->what(), "boom");
    }
    EXPECT_EQ(logged, (std::vector<std::string>{"the upload failed: boom"}));
}

// A group's join waits for tasks spawned meanwhile; cancelled or destroyed, it stops them quietly.
// Cancelling twice, or after the body ended with its completion still queued, must not reach
// frames that are gone.
TEST_F(AsyncTest, TaskGroupRunsCancelsAndJoinsItsTasks) {
    auto group = std::make_unique<TaskGroup>(io.get_executor());
    int woke = 0;
    for (auto delay : {1s, 5s, 9s}) {
        group->spawn("sleeper", sleepThen(delay, [&] { ++woke; }));
    }
    clock->advance(1s);
    EXPECT_EQ(group->running(), 2u);
    test::Pending<void> joined(io, group->joinAll());
    clock->advance(4s);
    EXPECT_FALSE(joined.done());
    group->spawn("late", sleepThen(100s, [&] { ++woke; }));
    group->cancelAll();
    group->cancelAll();
    clock->runReady();
    EXPECT_TRUE(joined.done());
    EXPECT_EQ(group->running(), 0u);
    group->spawn("orphan", sleepThen(3s, [&] { ++woke; }));
    clock->runReady();
    group.reset();
    clock->advance(3s);
    EXPECT_EQ(woke, 2);
    auto quick =
        Task<int>::spawn(io.get_executor(), "test", []() -> Awaitable<int> { co_return 3; });
    io.poll_one();  // the body runs; its completion may still be queued
    quick.cancel();
    clock->runReady();
    quick.cancel();
    EXPECT_TRUE(quick.done());
    EXPECT_TRUE(logged.empty());
}

// The first value of a one-shot is the one every wait gets, a later one too.
TEST_F(AsyncTest, AOneShotKeepsItsFirstValue) {
    OneShot<int> shot(io.get_executor());
    EXPECT_TRUE(shot.resume(1));
    EXPECT_FALSE(shot.resume(2));
    EXPECT_EQ(test::Pending<int>(io, shot.wait()).get(), 1);
}

TEST_F(AsyncTest, ADeadlineFiresOnceAtItsLimitUnlessRestartedRearmedOrDisarmed) {
    int fired = 0;
    Deadline deadline(io.get_executor(), clock);
    deadline.arm(10s, [&] { ++fired; });
    clock->advance(9s);
    deadline.restart();
    clock->advance(9s);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(deadline.armed());
    clock->advance(1s);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(deadline.expired());
    EXPECT_FALSE(deadline.armed());
    deadline.arm(5s, [&] { fired += 10; });
    EXPECT_FALSE(deadline.expired());
    clock->advance(3s);
    deadline.arm(5s, [&] { fired += 100; });
    clock->advance(3s);
    EXPECT_EQ(fired, 1);
    clock->advance(2s);
    EXPECT_EQ(fired, 101);
    // Disarmed in the turn its timer woke, by a sleep that began first: the wake-up finds it gone.
    spawn(sleepThen(5s, [&] { deadline.disarm(); }));
    clock->runReady();
    deadline.arm(5s, [&] { fired += 10000; });
    clock->advance(5s);
    EXPECT_FALSE(deadline.expired() || deadline.armed());
    EXPECT_EQ(fired, 101);
    EXPECT_EQ(clock->sleepers(), 0u);
}

struct TookTooLong {};

TEST_F(AsyncTest, WithTimeoutTakesWhicheverFinishesFirstAndCancelsTheOther) {
    auto race = [&](Clock::Duration delay, int value, bool fail = false) {
        return test::Pending<int>(
            io,
            withTimeout<TookTooLong>(clock, 10s, [this, delay, value, fail]() -> Awaitable<int> {
                co_await clock->sleep(delay);
                if (fail) {
                    throw std::logic_error("failed");
                }
                co_return value;
            }));
    };
    auto fast = race(3s, 7), slow = race(11s, 8), failing = race(1s, 9, true);
    auto stubborn =
        test::Pending<int>(io, withTimeout<TookTooLong>(clock, 5s, [this]() -> Awaitable<int> {
                               try {
                                   co_await clock->sleep(100s);
                               } catch (...) {
                               }
                               co_await boost::asio::this_coro::reset_cancellation_state();
                               co_await clock->sleep(100s);
                               co_return 1;
                           }));
    auto caller = spawn([this]() -> Awaitable<void> {
        co_await withTimeout<TookTooLong>(clock, 10s, [this] { return clock->sleep(30s); });
    });
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 10u);
    caller.cancel();
    clock->runReady();
    EXPECT_TRUE(isCancellation(test::Pending<void>(io, caller.result()).error()));
    EXPECT_EQ(clock->sleepers(), 8u);
    clock->advance(1s);
    EXPECT_STREQ(test::failure<std::logic_error>(failing)->what(), "failed");
    clock->advance(2s);
    EXPECT_EQ(fast.get(), 7);
    clock->advance(2s);
    EXPECT_TRUE(test::failure<TookTooLong>(stubborn));
    clock->advance(4s);
    EXPECT_FALSE(slow.done());
    clock->advance(1s);
    EXPECT_TRUE(test::failure<TookTooLong>(slow));
    EXPECT_EQ(clock->sleepers(), 1u);  // the stubborn operation's second sleep
}

}  // namespace
}  // namespace tessarin
