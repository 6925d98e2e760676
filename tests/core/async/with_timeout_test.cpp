#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/task.hpp"
#include "core/async/with_timeout.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

struct TookTooLong : std::runtime_error {
    TookTooLong() : std::runtime_error("took too long") {}
};

struct WithTimeoutTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);

    // An operation that sleeps `delay` on the clock, then returns `value` or throws.
    auto sleeper(Clock::Duration delay, int value, bool fail = false) {
        return [clock = clock, delay, value, fail]() -> Awaitable<int> {
            co_await clock->sleep(delay);
            if (fail) {
                throw std::logic_error("failed after " + std::to_string(value));
            }
            co_return value;
        };
    }

    template <class Operation>
    Task<int> race(Clock::Duration limit, Operation operation) {
        return Task<int>::spawn(
            io.get_executor(), "test", [this, limit, operation]() -> Awaitable<int> {
                co_return co_await withTimeout<TookTooLong>(clock, limit, operation);
            });
    }

    // The task's value, or the text of its error. The reading task owns what it writes: it may
    // outlive this call when the task has not finished.
    std::string outcome(const Task<int>& task) {
        auto text = std::make_shared<std::string>("unfinished");
        Task<>::spawn(io.get_executor(), "test", [text, task]() -> Awaitable<void> {
            try {
                *text = std::to_string(co_await task.result());
            } catch (const std::exception& e) {
                *text = e.what();
            }
        });
        clock->runReady();
        return *text;
    }
};

TEST_F(WithTimeoutTest, TheFirstToFinishDecides) {
    auto fast = race(10s, sleeper(3s, 7));
    auto slow = race(10s, sleeper(11s, 8));
    auto failing = race(10s, sleeper(1s, 9, true));
    clock->advance(2s);
    EXPECT_EQ(outcome(failing), "failed after 9");  // an error does not wait for the timer
    clock->advance(2s);
    EXPECT_EQ(outcome(fast), "7");
    EXPECT_EQ(outcome(slow), "unfinished");
    clock->advance(6s);
    EXPECT_EQ(outcome(slow), "took too long");
    // Every loser was cancelled: nothing is left sleeping.
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(WithTimeoutTest, DoesNotWaitForAnOperationThatIgnoresCancellation) {
    auto stubborn = [clock = clock]() -> Awaitable<int> {
        try {
            co_await clock->sleep(100s);
        } catch (...) {
        }
        co_await boost::asio::this_coro::reset_cancellation_state();
        co_await clock->sleep(100s);
        co_return 1;
    };
    auto task = race(5s, stubborn);
    clock->advance(5s);
    EXPECT_EQ(outcome(task), "took too long");
}

TEST_F(WithTimeoutTest, CancellingTheCallerCancelsBoth) {
    auto task = race(10s, sleeper(30s, 1));
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 2u);
    task.cancel();
    clock->runReady();
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clock->sleepers(), 0u);
}

}  // namespace
}  // namespace tessarin
