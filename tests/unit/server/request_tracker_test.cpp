#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/task.hpp"
#include "recording/server/request_tracker.hpp"

namespace tessarin {
namespace {

using namespace std::chrono_literals;

struct RequestTrackerTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    std::shared_ptr<RequestTracker> tracker = RequestTracker::create(io.get_executor(), clock);
    Clock::TimePoint start = clock->now();
    std::optional<bool> drained;
    Clock::Duration drainedAfter{};

    void startDrain() {
        Task<>::spawn(io.get_executor(), "test", [this]() -> Awaitable<void> {
            drained = co_await tracker->drain(RequestTracker::defaultGrace);
            drainedAfter = clock->now() - start;
        });
        clock->runReady();
    }
};

TEST_F(RequestTrackerTest, NothingPendingDrainsAtOnceWithoutSleeping) {
    startDrain();
    EXPECT_EQ(drained, true);
    EXPECT_EQ(drainedAfter, 0ms);
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(RequestTrackerTest, TheLastRequestEndingInsideTheGraceCompletesTheDrainAndItsTimer) {
    tracker->begin();
    tracker->begin();
    startDrain();
    clock->advance(100ms);
    tracker->end();
    clock->runReady();
    EXPECT_FALSE(drained);
    tracker->end();
    clock->runReady();
    EXPECT_EQ(drained, true);
    EXPECT_EQ(drainedAfter, 100ms);
    EXPECT_EQ(clock->sleepers(), 0u);  // the grace is not left running
}

TEST_F(RequestTrackerTest, ARequestThatNeverEndsRunsOutTheGraceExactly) {
    tracker->begin();
    startDrain();
    clock->advance(249ms);
    EXPECT_FALSE(drained);
    clock->advance(1ms);
    EXPECT_EQ(drained, false);
    EXPECT_EQ(drainedAfter, 250ms);
    // Late and unmatched ends change nothing but the count, which never goes below zero.
    tracker->end();
    tracker->end();
    clock->runReady();
    EXPECT_EQ(drained, false);
    tracker->begin();
    EXPECT_EQ(tracker->pending(), 1);
}

}  // namespace
}  // namespace tessarin
