#include <algorithm>
#include <functional>
#include <string>
#include <vector>

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

// Adds each item at its arrival time (ms) and releases on a 100 ms tick for five minutes, as the
// pipeline does; returns all that left the filter.
Output play(EchoFilter& filter, std::vector<std::pair<std::int64_t, Pending>> arrivals) {
    std::ranges::stable_sort(arrivals, {}, &std::pair<std::int64_t, Pending>::first);
    Output out;
    auto next = arrivals.begin();
    for (std::int64_t now = 0; now <= 300000; now += 100) {
        for (; next != arrivals.end() && next->first <= now; ++next) {
            std::ranges::move(filter.add(next->second, now), std::back_inserter(out));
        }
        std::ranges::move(filter.release(now), std::back_inserter(out));
    }
    return out;
}

// A `me` segment is held for exactly the hold time; `them` passes at once and is what held ones
// are judged against.
TEST(EchoFilter, HoldsMeForTheHoldTimeLetsThemThroughAndJudgesOneAgainstTheOther) {
    EchoFilter filter;
    EXPECT_TRUE(filter.add(me(0, 900, "good morning everyone"), 1000).empty());
    EXPECT_TRUE(filter.release(4999).empty());
    EXPECT_EQ(filter.release(5000), Output{me(0, 900, "good morning everyone")});
    EXPECT_TRUE(filter.add(me(1000, 3000, "Can you hear me now?"), 5100).empty());
    EXPECT_TRUE(filter.add(me(3500, 5000, "I will share my screen"), 5200).empty());
    // The other side's transcript of the same words finishes later than the echo.
    EXPECT_EQ(filter.add(them(900, 3200, "can you hear me now"), 6000),
              Output{them(900, 3200, "can you hear me now")});
    // `them` comes out before the `me` segments released by the same add; the echo is dropped.
    EXPECT_EQ(filter.add(them(8000, 9000, "sounds good"), 9200),
              (Output{them(8000, 9000, "sounds good"), me(3500, 5000, "I will share my screen")}));
    EXPECT_EQ(filter.dropped(), 1);
    EXPECT_EQ(filter.trimmed(), 0);
    EXPECT_EQ(filter.heldCount(), 0u);
}

TEST(EchoFilter, NoteThemRemembersWithoutOutputAndIgnoresMe) {
    EchoFilter filter;
    filter.noteThem(me(0, 2000, "let us begin the review"));
    filter.add(me(0, 2000, "let us begin the review"), 2000);
    EXPECT_EQ(filter.release(6000).size(), 1u);  // nothing of `me` was remembered

    filter.noteThem(them(10000, 12000, "let us begin the review"));
    EXPECT_TRUE(filter.add(me(10000, 12000, "let us begin the review"), 12000).empty());
    EXPECT_TRUE(filter.release(16000).empty());
    EXPECT_EQ(filter.dropped(), 1);
}

// A late `me` segment (a catch-up of old audio, say) is compared only with what is still
// remembered: pruning keeps two minutes of `them` before the oldest held segment, or before the
// end of the last `them` when nothing is held.
TEST(EchoFilter, PrunesThemTwoMinutesBeforeTheOldestHeldSegmentOrTheLastThem) {
    const std::pair<std::int64_t, Pending> old{2000, them(0, 2000, "hello there everyone")};
    const Pending lateEcho = me(500, 2000, "hello there everyone");
    const Pending recent = them(125000, 128000, "any updates");
    EchoFilter pruned, kept, boundary;
    // Nothing held when `recent` comes: 2000 < 128000 - 120000 is pruned, the late echo kept.
    EXPECT_EQ(play(pruned, {old, {128000, recent}, {130000, lateEcho}}).size(), 3u);
    // The late echo held from 126000 keeps the old segment, and is dropped.
    EXPECT_EQ(play(kept, {old, {126000, lateEcho}, {128000, recent}}).size(), 2u);
    // Exactly two minutes is not yet too old: dropped.
    EXPECT_EQ(
        play(boundary, {old, {122000, them(120000, 122000, "any updates")}, {122000, lateEcho}})
            .size(),
        2u);
}

// Whichever allocation fails while held segments are released (by release, releaseAll or add),
// each comes out once: judged, kept as it was when it could not be judged, or still held when the
// release as a whole failed.
TEST(EchoFilter, ASegmentThatCannotBeJudgedIsKeptNeverLost) {
    const std::function<Output(EchoFilter&)> releases[] = {
        [](EchoFilter& filter) { return filter.release(9000); },
        [](EchoFilter& filter) { return filter.releaseAll(); },
        [](EchoFilter& filter) { return filter.add(me(8000, 8500, "right"), 9000); },
    };
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
            // Trimmed when judged, whole when not.
            const auto mixedOnes = std::ranges::count_if(
                out, [](const Pending& p) { return p.text.starts_with("yes I think so,"); });
            EXPECT_EQ(mixedOnes, 1) << failAt;
            EXPECT_EQ(std::ranges::count(out, "good morning everyone", &Pending::text), 1)
                << failAt;
            if (!failed) {
                EXPECT_EQ(filter.trimmed(), 1);  // judged in full once nothing fails
                break;
            }
        }
    }
}

}  // namespace
}  // namespace tessarin
