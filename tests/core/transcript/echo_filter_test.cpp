#include <algorithm>

#include <gtest/gtest.h>

#include "core/transcript/echo_filter.hpp"
#include "support/allocation_probe.hpp"

namespace tessarin {
namespace {

using Pending = EchoFilter::Pending;
using Output = std::vector<Pending>;

Pending me(std::int64_t startedMs, std::int64_t endedMs, std::string text) {
    return Pending{Speaker::me, startedMs, endedMs, std::move(text)};
}

Pending them(std::int64_t startedMs, std::int64_t endedMs, std::string text) {
    return Pending{Speaker::them, startedMs, endedMs, std::move(text)};
}

// `them` passes at once, before the `me` segments released by the same add; here the echoes are
// word for word, as whether one is an echo is the decision's business.
TEST(EchoFilter, HoldsMeForTheHoldTimeAndJudgesItAgainstThemThatCameMeanwhile) {
    EchoFilter filter;
    EXPECT_TRUE(filter.add(me(0, 900, "good morning everyone"), 1000).empty());
    EXPECT_TRUE(filter.release(4999).empty());
    EXPECT_EQ(filter.release(5000), Output{me(0, 900, "good morning everyone")});
    EXPECT_TRUE(filter.add(me(1000, 3000, "Can you hear me now?"), 5100).empty());
    EXPECT_TRUE(filter.add(me(3500, 5000, "I will share my screen"), 5200).empty());
    EXPECT_EQ(filter.add(them(900, 3200, "can you hear me now"), 6000),
              Output{them(900, 3200, "can you hear me now")});
    EXPECT_EQ(filter.add(them(8000, 9000, "sounds good"), 9200),
              (Output{them(8000, 9000, "sounds good"), me(3500, 5000, "I will share my screen")}));
    EXPECT_EQ(filter.dropped(), 1);
    EXPECT_EQ(filter.heldCount(), 0u);
    // Noted `them` is remembered without output; noted `me` is ignored.
    filter.noteThem(me(20000, 22000, "let us begin the review"));
    filter.noteThem(them(30000, 32000, "let us begin the review"));
    filter.add(me(20000, 22000, "let us begin the review"), 32000);
    filter.add(me(30000, 32000, "let us begin the review"), 32000);
    EXPECT_EQ(filter.release(36000), Output{me(20000, 22000, "let us begin the review")});
    EXPECT_EQ(filter.dropped(), 2);
}

// `them` is remembered for two minutes before the oldest held segment, or before the end of the
// last `them` when nothing is held; exactly two minutes is not yet too old.
TEST(EchoFilter, ForgetsThemTwoMinutesBeforeTheOldestHeldSegmentOrTheLastThem) {
    const Pending old = them(0, 2000, "hello there everyone"), late = me(500, 2000, old.text);
    auto play = [&](std::int64_t lateAtMs, Pending recent, std::int64_t recentAtMs) {
        EchoFilter filter;
        filter.add(old, 2000);
        filter.add(recent, recentAtMs);
        filter.add(late, lateAtMs);
        return filter.release(lateAtMs + EchoFilter::defaultHoldMs).size();
    };
    EXPECT_EQ(play(130000, them(125000, 128000, "any updates"), 128000), 1u);
    EXPECT_EQ(play(122000, them(120000, 122000, "any updates"), 122000), 0u);
    EchoFilter held;  // the late echo held from 126000 keeps the old segment: dropped
    held.add(old, 2000);
    held.add(late, 126000);
    held.add(them(125000, 128000, "any updates"), 128000);
    EXPECT_TRUE(held.release(130000).empty());
}

// Whichever allocation fails while held segments are released, each comes out once: judged, as it
// was when it could not be judged, or still held when the release as a whole failed.
TEST(EchoFilter, ASegmentThatCannotBeJudgedIsKeptNeverLost) {
    const std::function<Output(EchoFilter&)> releases[] = {
        [](EchoFilter& filter) { return filter.release(9000); },
        [](EchoFilter& filter) { return filter.releaseAll(); },
        [](EchoFilter& filter) { return filter.add(me(8000, 8500, "right"), 9000); }};
    for (const auto& releasing : releases) {
        for (long failAt = 0;; ++failAt) {
            EchoFilter filter;
            filter.add(them(1000, 3000, "can you hear me now"), 3000);
            filter.add(me(900, 3500, "yes I think so, can you hear me now"), 3600);
            filter.add(me(4000, 5000, "good morning everyone"), 5000);
            Output out;
            test::AllocationProbe::failIn = failAt;
            try {
                out = releasing(filter);
            } catch (const std::bad_alloc&) {
            }
            const bool failed = test::AllocationProbe::failIn < 0;
            test::AllocationProbe::failIn = -1;
            std::ranges::move(filter.releaseAll(), std::back_inserter(out));
            std::erase(out, me(8000, 8500, "right"));
            ASSERT_EQ(out.size(), 2u) << failAt;
            EXPECT_TRUE(out[0].text.starts_with("yes I think so,")) << failAt;
            EXPECT_EQ(out[1].text, "good morning everyone") << failAt;
            if (!failed) {
                EXPECT_EQ(filter.trimmed(), 1);  // judged in full once nothing fails
                break;
            }
        }
    }
}

}  // namespace
}  // namespace tessarin
