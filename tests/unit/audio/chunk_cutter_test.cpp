#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/chunk_cutter.hpp"
#include "support/audio_signals.hpp"

namespace tessarin {
namespace {

using Chunk = ChunkCutter::Chunk;
constexpr std::int64_t perMs = 24;

// A 24 kHz timeline built from stretches of speech and quiet, as PCM16 bytes.
struct Timeline {
    std::vector<std::int16_t> samples;

    Timeline& speech(std::int64_t ms) {
        test::appendTo(samples, test::speechSamples(ms * perMs, seed++));
        return *this;
    }
    Timeline& quiet(std::int64_t ms) {
        test::appendTo(samples, test::quietSamples(ms * perMs, seed++));
        return *this;
    }
    std::vector<std::uint8_t> bytes() const { return test::bytesOf(samples); }
    // The PCM of [fromMs, toMs).
    std::vector<std::uint8_t> pcm(std::int64_t fromMs, std::int64_t toMs) const {
        const auto all = bytes();
        return {all.begin() + fromMs * 48, all.begin() + toMs * 48};
    }

    std::uint32_t seed = 100;
};

struct Cut {
    std::int64_t startedMs;
    std::int64_t endedMs;
    std::int64_t atElapsedMs;  // when the chunk came out
    bool operator==(const Cut&) const = default;
    friend void PrintTo(const Cut& c, std::ostream* out) {
        *out << c.startedMs << "-" << c.endedMs << " at " << c.atElapsedMs;
    }
};

// Feeds 10 ms at a time, as the captures deliver audio.
std::vector<Cut> feedInTenMsPieces(ChunkCutter& cutter, const Timeline& timeline,
                                   std::vector<Chunk>* chunks = nullptr) {
    const auto bytes = timeline.bytes();
    std::vector<Cut> cuts;
    for (std::size_t at = 0; at < bytes.size(); at += 480) {
        const auto n = std::min<std::size_t>(480, bytes.size() - at);
        for (auto& chunk : cutter.feed(std::span(bytes).subspan(at, n))) {
            cuts.push_back({chunk.startedMs, chunk.endedMs, cutter.elapsedMs()});
            if (chunks != nullptr) {
                chunks->push_back(std::move(chunk));
            }
        }
    }
    return cuts;
}

TEST(ChunkCutterTest, WorkedTimelines) {
    const struct {
        const char* name;
        Timeline timeline;
        std::vector<Cut> expected;
        std::int64_t chunkStart;
    } cases[] = {
        {"a pause after 20 s of speech ends the chunk",
         Timeline().speech(20400).quiet(5000),
         {{0, 21000, 21000}},
         21000},
        {"a turn under 20 s does not cut, the next one does",
         Timeline().speech(11400).quiet(600).speech(9400).quiet(600).speech(1000),
         {{0, 22000, 22000}},
         22000},
        {"unbroken speech is cut every 30 s", Timeline().speech(40000), {{0, 30000, 30000}}, 30000},
        {"at 30 s the latest turn end, then the detector's 30 s stretch",
         Timeline().speech(7400).quiet(600).speech(6400).quiet(600).speech(31000),
         {{0, 15000, 30000}, {15000, 45000, 45000}},
         45000},
        {"31 s of silence is dropped up to the skip point", Timeline().quiet(31000), {}, 30000},
        {"a short turn is cut at the hard limit, the silence after it dropped",
         Timeline().speech(5000).quiet(31000),
         {{0, 5600, 30000}},
         35600},
        {"speech after a long silence starts a fresh chunk",
         Timeline().quiet(30500).speech(19800).quiet(700),
         {{30000, 50900, 50900}},
         50900},
    };
    for (const auto& c : cases) {
        ChunkCutter cutter;
        std::vector<Chunk> chunks;
        EXPECT_EQ(feedInTenMsPieces(cutter, c.timeline, &chunks), c.expected) << c.name;
        EXPECT_EQ(cutter.chunkStart(), c.chunkStart) << c.name;
        for (const Chunk& chunk : chunks) {
            EXPECT_EQ(chunk.pcm, c.timeline.pcm(chunk.startedMs, chunk.endedMs)) << c.name;
        }
    }
}

TEST(ChunkCutterTest, ThirtySecondsOfSpeechIsExactlyThirtySecondsOfBytes) {
    ChunkCutter cutter;
    std::vector<Chunk> chunks;
    feedInTenMsPieces(cutter, Timeline().speech(40000), &chunks);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].pcm.size(), 1'440'000u);
}

TEST(ChunkCutterTest, Finish) {
    {
        ChunkCutter cutter;
        feedInTenMsPieces(cutter, Timeline().quiet(12000));
        EXPECT_EQ(cutter.finish(), std::nullopt) << "only silence";
    }
    {
        ChunkCutter cutter;
        EXPECT_EQ(cutter.finish(), std::nullopt) << "nothing fed";
    }
    {
        Timeline timeline;
        timeline.quiet(2000).speech(3000);
        ChunkCutter cutter;
        feedInTenMsPieces(cutter, timeline);
        const auto last = cutter.finish();
        ASSERT_TRUE(last.has_value()) << "speech without a closing pause";
        EXPECT_EQ(last->startedMs, 0);
        EXPECT_EQ(last->endedMs, 5000);
        EXPECT_EQ(last->pcm, timeline.pcm(0, 5000));
    }
    {
        // A turn ended but the chunk was short of 20 s: what follows goes with it, silence too.
        Timeline timeline;
        timeline.speech(3000).quiet(4000);
        ChunkCutter cutter;
        feedInTenMsPieces(cutter, timeline);
        ASSERT_EQ(cutter.lastTurnEnd(), 3600);
        const auto last = cutter.finish();
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->startedMs, 0);
        EXPECT_EQ(last->endedMs, 7000);
    }
    {
        // After a cut at a turn end, trailing silence alone is not uploaded.
        ChunkCutter cutter;
        feedInTenMsPieces(cutter, Timeline().speech(20400).quiet(5000));
        EXPECT_EQ(cutter.finish(), std::nullopt);
    }
}

TEST(ChunkCutterTest, OutputDoesNotDependOnHowTheStreamIsSplit) {
    Timeline timeline;
    std::mt19937 random(5);
    while (timeline.samples.size() < 150u * 24000) {
        const auto ms = std::uniform_int_distribution<std::int64_t>(50, 9000)(random);
        if (random() % 3 == 0) {
            timeline.quiet(ms * 3);
        } else {
            timeline.speech(ms);
        }
    }
    const auto bytes = timeline.bytes();

    ChunkCutter whole;
    auto expected = whole.feed(bytes);
    expected.push_back(whole.finish().value_or(Chunk{}));
    ASSERT_GE(expected.size(), 5u);

    // Random pieces, odd byte counts included, and one byte at a time for a stretch.
    ChunkCutter pieces;
    std::vector<Chunk> got;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n =
            at < 200'000 ? 1 : std::uniform_int_distribution<std::size_t>(0, 20001)(random);
        const auto size = std::min(n, bytes.size() - at);
        for (auto& chunk : pieces.feed(std::span(bytes).subspan(at, size))) {
            got.push_back(std::move(chunk));
        }
        at += size;
    }
    got.push_back(pieces.finish().value_or(Chunk{}));
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].startedMs, expected[i].startedMs) << i;
        EXPECT_EQ(got[i].endedMs, expected[i].endedMs) << i;
        EXPECT_TRUE(got[i].pcm == expected[i].pcm) << i;
        EXPECT_LE(got[i].endedMs - got[i].startedMs, ChunkCutter::maxMs) << i;
    }
}

TEST(ChunkCutterTest, ALargeFeedCutsAsSmallFeedsDo) {
    // Audio held back during an outage arrives in one piece: the silence found in it is dropped
    // only up to where it was found, and the speech after it is kept.
    Timeline timeline;
    timeline.speech(7400).quiet(600).speech(6400).quiet(600).speech(31000).quiet(31000).speech(
        4000);
    ChunkCutter small;
    std::vector<Chunk> expected;
    feedInTenMsPieces(small, timeline, &expected);
    if (auto last = small.finish()) {
        expected.push_back(std::move(*last));
    }

    ChunkCutter large;
    auto got = large.feed(timeline.bytes());
    if (auto last = large.finish()) {
        got.push_back(std::move(*last));
    }
    // 0-15000 and 15000-45000 as in the worked case, the turn 45000-46600 at the hard limit, and
    // after the dropped silence (46600-76600) the last speech.
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(got[2].startedMs, 45000);
    EXPECT_EQ(got[2].endedMs, 46600);
    EXPECT_EQ(got[3].startedMs, 76600);
    EXPECT_EQ(got[3].endedMs, 81000);
    EXPECT_EQ(got[3].pcm, timeline.pcm(76600, 81000));
}

}  // namespace
}  // namespace tessarin
