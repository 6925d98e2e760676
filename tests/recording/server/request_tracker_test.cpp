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

// A drain waits for the pending requests for at most 250 ms; it leaves no timer behind.
TEST(RequestTrackerTest, ADrainEndsWithTheLastRequestOrWhenTheGraceRunsOutExactly) {
    boost::asio::io_context io;
    const auto clock = std::make_shared<ManualClock>(io);
    const auto tracker = RequestTracker::create(io.get_executor(), clock);
    tracker->begin();
    tracker->begin();
    Pending<bool> drain(io, tracker->drain());
    clock->advance(100ms);
    tracker->end();
    clock->runReady();
    EXPECT_FALSE(drain.done());
    tracker->end();
    clock->runReady();
    EXPECT_TRUE(drain.done() && drain.get());  // at 100 ms, not at the end of the grace
    EXPECT_EQ(clock->sleepers(), 0u);

    tracker->begin();
    Pending<bool> late(io, tracker->drain());
    clock->advance(249ms);
    EXPECT_FALSE(late.done());
    clock->advance(1ms);
    EXPECT_TRUE(late.done() && !late.get());
    // Late and unmatched ends change nothing but the count, which never goes below zero.
    tracker->end();
    tracker->end();
    EXPECT_EQ(tracker->pending(), 0);
    Pending<bool> idle(io, tracker->drain());
    clock->runReady();
    EXPECT_TRUE(idle.done() && idle.get());
    EXPECT_EQ(clock->sleepers(), 0u);
}

}  // namespace
}  // namespace tessarin
