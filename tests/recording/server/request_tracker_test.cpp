#include <memory>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "recording/server/request_tracker.hpp"
#include "support/pending.hpp"

namespace tessarin {
namespace {

using namespace std::chrono_literals;
using test::Pending;

struct RequestTrackerTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    std::shared_ptr<RequestTracker> tracker = RequestTracker::create(io.get_executor(), clock);
};

TEST_F(RequestTrackerTest, TheLastRequestEndingInsideTheGraceCompletesTheDrainAndItsTimer) {
    tracker->begin();
    tracker->begin();
    Pending<bool> drain(io, tracker->drain());
    clock->advance(100ms);
    tracker->end();
    clock->runReady();
    EXPECT_FALSE(drain.done());
    tracker->end();
    clock->runReady();
    ASSERT_TRUE(drain.done());  // at 100 ms, not at the end of the grace
    EXPECT_TRUE(drain.get());
    EXPECT_EQ(clock->sleepers(), 0u);  // the grace is not left running
}

TEST_F(RequestTrackerTest, ARequestThatNeverEndsRunsOutTheGraceExactly) {
    tracker->begin();
    Pending<bool> drain(io, tracker->drain());
    clock->advance(249ms);
    EXPECT_FALSE(drain.done());
    clock->advance(1ms);
    ASSERT_TRUE(drain.done());
    EXPECT_FALSE(drain.get());
    // Late and unmatched ends change nothing but the count, which never goes below zero.
    tracker->end();
    tracker->end();
    EXPECT_EQ(tracker->pending(), 0);
    // With nothing pending a drain ends at once, without sleeping.
    Pending<bool> idle(io, tracker->drain());
    clock->runReady();
    ASSERT_TRUE(idle.done());
    EXPECT_TRUE(idle.get());
    EXPECT_EQ(clock->sleepers(), 0u);
}

}  // namespace
}  // namespace tessarin
