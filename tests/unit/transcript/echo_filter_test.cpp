#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/transcript/echo_filter.hpp"

namespace tessarin {
namespace {

using Pending = EchoFilter::Pending;

Pending me(std::int64_t startedMs, std::int64_t endedMs, std::string text) {
    return Pending{Speaker::me, startedMs, endedMs, std::move(text)};
}

Pending them(std::int64_t startedMs, std::int64_t endedMs, std::string text) {
    return Pending{Speaker::them, startedMs, endedMs, std::move(text)};
}

TEST(EchoFilter, HoldsAMeSegmentForExactlyTheHoldTime) {
    EchoFilter filter;
    EXPECT_TRUE(filter.add(me(0, 900, "good morning everyone"), 1000).empty());
    EXPECT_EQ(filter.heldCount(), 1u);
    EXPECT_TRUE(filter.release(4999).empty());
    EXPECT_EQ(filter.release(5000), (std::vector{me(0, 900, "good morning everyone")}));
    EXPECT_EQ(filter.heldCount(), 0u);
    EXPECT_TRUE(filter.release(9000).empty());
}

TEST(EchoFilter, LetsThemThroughAtOnceAndJudgesHeldMeAgainstIt) {
    EchoFilter filter;
    EXPECT_TRUE(filter.add(me(1000, 3000, "Can you hear me now?"), 3100).empty());
    // The other side's transcript of the same words finishes later than the echo.
    EXPECT_EQ(filter.add(them(900, 3200, "can you hear me now"), 4000),
              (std::vector{them(900, 3200, "can you hear me now")}));
    EXPECT_TRUE(filter.release(7100).empty());
    EXPECT_EQ(filter.dropped(), 1);
    EXPECT_EQ(filter.trimmed(), 0);
    EXPECT_EQ(filter.heldCount(), 0u);
}

TEST(EchoFilter, ThemComesOutBeforeMeReleasedByTheSameAdd) {
    EchoFilter filter;
    filter.add(me(0, 2000, "I will share my screen"), 2000);
    const auto out = filter.add(them(5000, 6000, "sounds good"), 6500);
    EXPECT_EQ(
        out, (std::vector{them(5000, 6000, "sounds good"), me(0, 2000, "I will share my screen")}));
}

TEST(EchoFilter, ReleasesTrimmedTextAndCountsIt) {
    EchoFilter filter;
    filter.add(them(10000, 12000, "can you hear me now"), 12000);
    filter.add(me(9000, 12500, "yes I think so, can you hear me now"), 12600);
    EXPECT_EQ(filter.release(16600), (std::vector{me(9000, 12500, "yes I think so,")}));
    EXPECT_EQ(filter.trimmed(), 1);
    EXPECT_EQ(filter.dropped(), 0);
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

TEST(EchoFilter, ReleaseAllJudgesEverythingHeldAtOnce) {
    EchoFilter empty;
    EXPECT_TRUE(empty.releaseAll().empty());

    EchoFilter filter;
    filter.add(them(0, 2000, "the budget is approved"), 2000);
    filter.add(me(0, 2100, "the budget is approved"), 2200);
    filter.add(me(3000, 4000, "great news thanks"), 4100);
    EXPECT_EQ(filter.releaseAll(), (std::vector{me(3000, 4000, "great news thanks")}));
    EXPECT_EQ(filter.dropped(), 1);
    EXPECT_EQ(filter.heldCount(), 0u);
    EXPECT_TRUE(filter.releaseAll().empty());
}

// A late `me` segment (a catch-up of old audio, say) is compared only with what is still
// remembered: pruning keeps two minutes of `them` before the oldest held segment.
TEST(EchoFilter, PrunesThemTwoMinutesBeforeTheOldestHeldSegmentOrTheLastThem) {
    const Pending old = them(0, 2000, "hello there everyone");
    const Pending recent = them(125000, 128000, "any updates");

    // Nothing held: the reference is the last `them` end (128000); 2000 < 8000 is pruned.
    EchoFilter pruned;
    pruned.add(old, 2000);
    pruned.add(recent, 128000);
    pruned.add(me(500, 2000, "hello there everyone"), 130000);
    EXPECT_EQ(pruned.release(134000).size(), 1u);
    EXPECT_EQ(pruned.dropped(), 0);

    // Held `me` from 500: the old segment stays and the late echo is caught.
    EchoFilter kept;
    kept.add(old, 2000);
    kept.add(me(500, 2000, "hello there everyone"), 126000);
    kept.add(recent, 128000);
    EXPECT_TRUE(kept.release(130000).empty());
    EXPECT_EQ(kept.dropped(), 1);

    // Exactly two minutes is not yet too old.
    EchoFilter boundary;
    boundary.add(old, 2000);
    boundary.add(them(120000, 122000, "any updates"), 122000);
    boundary.add(me(500, 2000, "hello there everyone"), 122000);
    EXPECT_TRUE(boundary.release(126000).empty());
    EXPECT_EQ(boundary.dropped(), 1);
}

// Five minutes of a call: the other side talks, the microphone picks some of it up, the user
// answers. Released on a 100 ms tick as the pipeline does.
TEST(EchoFilter, AConversationOverSeveralMinutes) {
    struct Arrival {
        std::int64_t atMs;
        Pending item;
    };
    const std::vector<Arrival> script{
        {4000, them(0, 3800, "Good morning, can everyone hear me?")},
        {3900, me(200, 3700, "good morning can everyone hear me")},  // echo, arrives first
        {7000, me(4500, 6800, "Yes, loud and clear.")},
        {30000, them(20000, 29500, "Let's go through the quarterly numbers first")},
        {31000, me(21000, 30500, "sure, let's go through the quarterly numbers first")},
        {65000, me(60000, 64500, "I have a question about the marketing budget")},
        {66000, them(61000, 65800, "we can take questions at the end")},
        {200000, them(190000, 199000, "Thanks everyone, see you next week")},
        {200500, me(190500, 199500, "thanks everyone see you next week")},
        {201000, me(200000, 200900, "bye")},
    };
    std::vector<Arrival> ordered = script;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Arrival& l, const Arrival& r) { return l.atMs < r.atMs; });

    EchoFilter filter;
    std::vector<Pending> out;
    auto next = ordered.begin();
    for (std::int64_t now = 0; now <= 300000; now += 100) {
        for (; next != ordered.end() && next->atMs <= now; ++next) {
            for (Pending& p : filter.add(next->item, now)) {
                out.push_back(std::move(p));
            }
        }
        for (Pending& p : filter.release(now)) {
            out.push_back(std::move(p));
        }
    }
    const std::vector<Pending> expected{
        them(0, 3800, "Good morning, can everyone hear me?"),
        me(4500, 6800, "Yes, loud and clear."),
        them(20000, 29500, "Let's go through the quarterly numbers first"),
        them(61000, 65800, "we can take questions at the end"),
        me(60000, 64500, "I have a question about the marketing budget"),
        them(190000, 199000, "Thanks everyone, see you next week"),
        me(200000, 200900, "bye"),
    };
    EXPECT_EQ(out, expected);
    EXPECT_EQ(filter.dropped(), 3);
    EXPECT_EQ(filter.trimmed(), 0);
    EXPECT_EQ(filter.heldCount(), 0u);
}

}  // namespace
}  // namespace tessarin
