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
    std::optional<bool> drained;
    Clock::TimePoint drainedAt;

    void startDrain() {
        Task<>::spawn(io.get_executor(), "test", [this]() -> Awaitable<void> {
            drained = co_await tracker->drain(RequestTracker::defaultGrace);
            drainedAt = clock->now();
        });
        clock->runReady();
    }
};

TEST_F(RequestTrackerTest, NothingPendingDrainsAtOnceWithoutSleeping) {
    const auto start = clock->now();
    startDrain();
    EXPECT_EQ(drained, true);
    EXPECT_EQ(drainedAt, start);
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(RequestTrackerTest, ARequestEndingInsideTheGraceCompletesTheDrainThen) {
    tracker->begin();
    const auto start = clock->now();
    startDrain();
    clock->advance(100ms);
    EXPECT_FALSE(drained);
    tracker->end();
    clock->runReady();
    EXPECT_EQ(drained, true);
    EXPECT_EQ(drainedAt - start, 100ms);
    clock->advance(1s);  // the grace timer fires later and changes nothing
    EXPECT_EQ(drained, true);
}

TEST_F(RequestTrackerTest, ARequestThatNeverEndsRunsOutTheGrace) {
    tracker->begin();
    tracker->begin();
    const auto start = clock->now();
    startDrain();
    clock->advance(249ms);
    EXPECT_FALSE(drained);
    clock->advance(1ms);
    EXPECT_EQ(drained, false);
    EXPECT_EQ(drainedAt - start, 250ms);
    tracker->end();
    tracker->end();
    clock->runReady();
    EXPECT_EQ(drained, false);
    EXPECT_EQ(tracker->pending(), 0);
}

TEST_F(RequestTrackerTest, UnmatchedEndsNeverGoBelowZero) {
    tracker->end();
    tracker->begin();
    EXPECT_EQ(tracker->pending(), 1);
}

}  // namespace
}  // namespace tessarin
