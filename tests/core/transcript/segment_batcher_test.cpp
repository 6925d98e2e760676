#include <gtest/gtest.h>

#include "core/transcript/segment_batcher.hpp"
#include "core/transcript/transcript_seq.hpp"

namespace tessarin {
namespace {

// A taken slot moves on to the next one of the same speaker, even once the first was saved.
TEST(SegmentBatcher, NumbersSegmentsByStartAndSpeakerAndNeverReusesANumber) {
    SegmentBatcher batcher;
    EXPECT_EQ(batcher.add(Speaker::me, 1000, 2000, "   \n \t\u3000"), std::nullopt);
    EXPECT_TRUE(batcher.isEmpty());
    EXPECT_EQ(batcher.add(Speaker::me, 1000, 2000, "one")->seq, 4000);
    EXPECT_EQ(batcher.add(Speaker::me, 1000, 2000, "two")->seq, 4004);
    EXPECT_EQ(*batcher.add(Speaker::them, 1000, 2000, "   Hello,   \r\n  World!  "),
              (Segment{4002, 1000, 2000, Speaker::them, "Hello, World!"}));
    EXPECT_EQ(batcher.add(Speaker::them, 1000, 2000, "four")->seq, 4006);
    EXPECT_EQ(batcher.takeBatch(SegmentBatcher::maxBatch).size(), 4u);
    EXPECT_EQ(batcher.add(Speaker::me, 1000, 2000, "five")->seq, 4008);
    EXPECT_EQ(batcher.add(Speaker::me, 1001, 2000, "six")->seq, 4012);
    EXPECT_EQ(*batcher.add(Speaker::me, 5000, 4000, "backwards"),
              (Segment{20000, 5000, 5000, Speaker::me, "backwards"}));
    EXPECT_EQ(*batcher.add(Speaker::them, -300, 700, "early"),
              (Segment{2, 0, 700, Speaker::them, "early"}));
    // A replayed origin has a bit of its own; a start past the largest is refused.
    EXPECT_EQ(TranscriptSeq::make(1500, Speaker::me, true), 6001);
    EXPECT_EQ(TranscriptSeq::make(TranscriptSeq::maxStartedMs, Speaker::them, true),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_THROW(TranscriptSeq::make(TranscriptSeq::maxStartedMs + 1, Speaker::me, false),
                 std::out_of_range);
}

TEST(SegmentBatcher, RestoresAFailedBatchInFrontWithoutDuplicates) {
    SegmentBatcher batcher;
    for (int i = 0; i < 5; ++i) {
        batcher.add(Speaker::me, i * 1000, i * 1000 + 500, "segment " + std::to_string(i));
    }
    std::vector<Segment> expected(batcher.pending().begin(), batcher.pending().end());
    const auto batch = batcher.takeBatch(2);
    EXPECT_EQ(batch, std::vector(expected.begin(), expected.begin() + 2));
    expected.push_back(*batcher.add(Speaker::them, 200, 300, "added meanwhile"));
    batcher.restore(std::vector{batch[0], batch[1], batch[0]});  // a batch holding one twice
    batcher.restore(batch);                                      // restored again
    EXPECT_EQ(batcher.takeBatch(10), expected);
    EXPECT_TRUE(batcher.isEmpty());
}

}  // namespace
}  // namespace tessarin
