#include "recording/realtime/realtime_items.hpp"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

using Report = RealtimeItems::Report;

TEST(RealtimeItems, NormalisesWhiteSpace) {
    struct Case {
        std::string text, expected;
    };
    for (const auto& c : std::vector<Case>{
             {"  hello   world \n", "hello world"},
             {"a\tb\r\nc", "a b c"},
             {"\xe3\x80\x80wide\xc2\xa0space\xe2\x80\xa8", "wide space"},  // U+3000, NBSP, U+2028
             {" \n\t ", ""},
             {"", ""},
             {"caf\xc3\xa9", "caf\xc3\xa9"},
             {"bad\xff byte", "bad\xff byte"},
         }) {
        EXPECT_EQ(RealtimeItems::normalised(c.text), c.expected) << c.text;
    }
}

TEST(RealtimeItems, ReportsEachItemOnceWhenCommittedAndCompletedInEitherOrder) {
    RealtimeItems items;
    items.commitSent(0, 1000);
    items.commitSent(1000, 2000);
    EXPECT_EQ(items.completed("b", "early"), std::nullopt);  // no range yet
    EXPECT_EQ(items.committed("a"), std::nullopt);           // not completed
    EXPECT_EQ(items.committed("b"), (Report{1000, 2000, "early"}));
    EXPECT_FALSE(items.drained());
    EXPECT_EQ(items.completed("a", " late "), (Report{0, 1000, "late"}));
    EXPECT_TRUE(items.drained());
    EXPECT_EQ(items.completed("a", "again"), std::nullopt);
    EXPECT_EQ(items.delta("a", "more"), std::nullopt);
    EXPECT_EQ(items.committed("c"), std::nullopt) << "no pending commit left";
    EXPECT_FALSE(items.drained()) << "item c was created and is still open";
}

TEST(RealtimeItems, FinalFlushGivesRangesInOrderOfFirstMention) {
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
    EXPECT_EQ(items.pendingCommitCount(), 0u);
}

TEST(RealtimeItems, EmptyCommitsAndFailedItemsSettleWithoutText) {
    RealtimeItems items;
    items.commitSent(0, 50);
    items.commitWasEmpty();
    items.commitWasEmpty();  // nothing pending: no effect
    items.delta("f", "lost");
    items.failed("f");
    EXPECT_TRUE(items.drained());
    EXPECT_TRUE(items.flush().empty());
}

TEST(RealtimeItems, AFloodingServiceCannotGrowMemoryWithoutBound) {
    RealtimeItems items;
    const std::string piece(1000, 'a');
    std::size_t accepted = 0;
    for (int i = 0; i < 1000; ++i) {
        if (items.delta("one", piece)) {
            ++accepted;
        }
    }
    EXPECT_EQ(accepted, RealtimeItems::maxTextBytes / piece.size());
    // A completed transcript beyond the cap is cut at a character boundary.
    items.commitSent(0, 1000);
    items.committed("one");
    std::string huge = std::string(RealtimeItems::maxTextBytes - 1, 'b') + "\xc3\xa9";
    auto report = items.completed("one", huge);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->text.size(), RealtimeItems::maxTextBytes - 1);

    // New items beyond the bound are ignored while none can be forgotten...
    for (std::size_t i = 0; i < 2 * RealtimeItems::maxItems; ++i) {
        items.delta("open" + std::to_string(i), "x");
    }
    EXPECT_EQ(items.itemCount(), RealtimeItems::maxItems);
    // ...and reported items make room.
    RealtimeItems reported;
    for (std::size_t i = 0; i < 3 * RealtimeItems::maxItems; ++i) {
        const std::string id = "item" + std::to_string(i);
        reported.commitSent(0, 1000);
        reported.committed(id);
        EXPECT_TRUE(reported.completed(id, "text")) << i;
    }
    EXPECT_LE(reported.itemCount(), RealtimeItems::maxItems);
}

}  // namespace
}  // namespace tessarin
