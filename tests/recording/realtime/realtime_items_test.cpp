#include "recording/realtime/realtime_items.hpp"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

using Report = RealtimeItems::Report;
constexpr std::size_t maxText = RealtimeItems::maxTextBytes;

TEST(RealtimeItems, ReportsEachItemOnceWhenCommittedAndCompletedInEitherOrder) {
    RealtimeItems items;
    items.commitSent(0, 1000);
    items.commitSent(1000, 2000);
    items.delta("b", "ear");
    EXPECT_EQ(items.completed("b", "early"), std::nullopt);  // no range yet
    EXPECT_EQ(items.committed("a"), std::nullopt);           // not completed
    EXPECT_EQ(items.committed("b"), (Report{1000, 2000, "early"}));
    EXPECT_FALSE(items.drained());
    EXPECT_EQ(items.untranscribedFrom(), 0) << "the first turn's transcript is still due";
    items.delta("a", " late ");
    EXPECT_EQ(items.completed("a", std::nullopt), (Report{0, 1000, "late"}));  // the text so far
    EXPECT_TRUE(items.drained());
    EXPECT_EQ(items.untranscribedFrom(), 2000);
    EXPECT_EQ(items.completed("a", "again"), std::nullopt);
    EXPECT_EQ(items.delta("a", "more"), std::nullopt);
    EXPECT_EQ(items.committed("c"), std::nullopt) << "no pending commit left";
    EXPECT_FALSE(items.drained()) << "item c was created and is still open";
}

TEST(RealtimeItems, FinalFlushGivesRangesInOrderOfFirstMentionAndKeepsTextlessCommitsDue) {
    RealtimeItems items;
    items.commitSent(0, 1000);
    items.commitSent(1000, 2000);
    items.commitSent(2000, 3000);
    EXPECT_EQ(items.delta("x", "first"), "first");
    EXPECT_EQ(items.delta("y", "second"), "second");
    EXPECT_EQ(items.committed("z"), std::nullopt);  // z takes 0..1000 but is not done
    items.delta("w", "   ");
    EXPECT_EQ(items.flush(), (std::vector<Report>{{1000, 2000, "first"}, {2000, 3000, "second"}}));
    EXPECT_TRUE(items.drained());
    EXPECT_EQ(items.untranscribedFrom(), 0) << "z's turn never got any text";
}

TEST(RealtimeItems, EmptyCommitsFailedItemsAndClearedSilenceAreSettled) {
    RealtimeItems items;
    items.commitSent(0, 50);
    items.commitWasEmpty();
    items.commitWasEmpty();  // nothing pending: no effect
    EXPECT_EQ(items.untranscribedFrom(), 50);
    items.commitSent(50, 900);
    items.failed("f");  // before its commit is acknowledged
    EXPECT_EQ(items.untranscribedFrom(), 50);
    items.committed("f");
    EXPECT_EQ(items.untranscribedFrom(), 900);
    items.delta("g", "lost");
    items.failed("g");
    EXPECT_TRUE(items.drained());
    EXPECT_TRUE(items.flush().empty());
    items.cleared(5000);
    EXPECT_EQ(items.untranscribedFrom(), 5000);
}

// Every White_Space code point separates words; look-alikes and ill-formed bytes belong to one.
TEST(RealtimeItems, TextIsSplitAtEveryUnicodeSpaceAndJoinedWithSingleBlanks) {
    for (const std::string space :
         {"\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
          "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
          "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"}) {
        EXPECT_EQ(RealtimeItems::normalised(space + "a" + space + space + "b" + space), "a b")
            << static_cast<int>(space[0]);
    }
    for (const std::string other : {"\u200b", "\u180e", "\ufeff", "\xff", "\xe2\x80"}) {
        EXPECT_EQ(RealtimeItems::normalised(" a" + other + "b "), "a" + other + "b");
    }
}

TEST(RealtimeItems, AnItemsTextIsCappedWithoutSplittingACharacter) {
    RealtimeItems items;
    EXPECT_TRUE(items.delta("one", std::string(maxText - 1, 'a')));
    EXPECT_EQ(items.delta("one", "b").value_or("").size(), maxText);
    EXPECT_EQ(items.delta("one", "c"), std::nullopt);
    // A completed transcript replaces the text; beyond the cap it is cut at a character boundary.
    for (const auto& [lead, kept] : {std::pair{maxText - 2, maxText}, {maxText - 1, maxText - 1}}) {
        const std::string id = std::to_string(lead);
        items.commitSent(0, 1000);
        items.committed(id);
        auto report = items.completed(id, std::string(lead, 'b') + "\xc3\xa9");
        EXPECT_EQ(report.value_or(Report{}).text.size(), kept);
    }
}

TEST(RealtimeItems, TheItemsAwaitedAreCappedWithoutShiftingRanges) {
    RealtimeItems open;
    for (std::size_t i = 0; i + 1 < RealtimeItems::maxItems; ++i) {
        open.delta("open" + std::to_string(i), "x");
    }
    open.commitSent(0, 1000);
    open.commitSent(1000, 2000);
    open.commitSent(2000, 3000);
    open.committed("last");  // the last one the cap allows
    EXPECT_EQ(open.itemCount(), RealtimeItems::maxItems);
    open.committed("beyond");  // cannot be tracked, but its answer still takes 1000..2000
    EXPECT_EQ(open.itemCount(), RealtimeItems::maxItems);
    open.committed("open0");
    EXPECT_EQ(open.completed("open0", "text"), (Report{2000, 3000, "text"}));
    EXPECT_EQ(open.untranscribedFrom(), 0);
    EXPECT_TRUE(open.delta("next", "x")) << "a reported item makes room";
    EXPECT_EQ(open.itemCount(), RealtimeItems::maxItems);
}

}  // namespace
}  // namespace tessarin
