#include <optional>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/chunk_cutter.hpp"
#include "support/audio_signals.hpp"
#include "support/block_feeding.hpp"

namespace tessarin {
namespace {

using Chunk = ChunkCutter::Chunk;
using test::quiet;
using test::speech;
using test::Timeline;

// A chunk's span and when it came out: the ms of audio fed by then, or `finished` for the chunk
// that finish() returned.
struct Cut {
    std::int64_t startedMs;
    std::int64_t endedMs;
    std::int64_t atMs;
    bool operator==(const Cut&) const = default;
    friend void PrintTo(const Cut& c, std::ostream* out) {
        *out << c.startedMs << "-" << c.endedMs << " at " << c.atMs;
    }
};
constexpr std::int64_t finished = -1;

// Feeds 10 ms at a time, as the captures deliver audio, then finishes; checks that every chunk
// holds exactly the bytes of its span.
std::vector<Cut> cutInTenMsPieces(const Timeline& timeline, std::vector<Chunk>& chunks) {
    ChunkCutter cutter;
    std::vector<Cut> cuts;
    auto note = [&](const Chunk& chunk, std::int64_t atMs) {
        cuts.push_back({chunk.startedMs, chunk.endedMs, atMs});
        EXPECT_TRUE(chunk.pcm == timeline.pcm(chunk.startedMs, chunk.endedMs));
        chunks.push_back(chunk);
    };
    const auto bytes = timeline.bytes();
    for (std::size_t at = 0; at < bytes.size(); at += 480) {
        const auto n = std::min<std::size_t>(480, bytes.size() - at);
        for (const Chunk& chunk : cutter.feed(std::span(bytes).subspan(at, n))) {
            note(chunk, cutter.elapsedMs());
        }
    }
    if (const auto last = cutter.finish()) {
        note(*last, finished);
    }
    return cuts;
}

std::vector<Chunk> withFinish(std::vector<Chunk> chunks, ChunkCutter& cutter) {
    if (auto last = cutter.finish()) {
        chunks.push_back(std::move(*last));
    }
    return chunks;
}

TEST(ChunkCutterTest, WorkedTimelines) {
    const std::tuple<const char*, Timeline, std::vector<Cut>> cases[] = {
        // A pause after 20 s of speech ends the chunk; the silence after it is not uploaded.
        {"a pause after 20 s", speech(20400).quiet(5000), {{0, 21000, 21000}}},
        {"a turn ending 20 s in", speech(19400).quiet(1000), {{0, 20000, 20000}}},
        // A turn under 20 s does not cut, the next one does.
        {"a turn under 20 s",
         speech(11400).quiet(600).speech(9400).quiet(600).speech(1000),
         {{0, 22000, 22000}, {22000, 23000, finished}}},
        {"unbroken speech", speech(40000), {{0, 30000, 30000}, {30000, 40000, finished}}},
        // At 30 s the latest turn end, then the detector's 30 s stretch.
        {"no pause after 20 s",
         speech(7400).quiet(600).speech(6400).quiet(600).speech(31000),
         {{0, 15000, 30000}, {15000, 45000, 45000}, {45000, 46000, finished}}},
        {"silence alone is never uploaded", quiet(31000), {}},
        // A short turn is cut at the hard limit, the silence after it dropped up to the skip.
        {"a short turn",
         speech(5000).quiet(31000).speech(2000),
         {{0, 5600, 30000}, {35600, 38000, finished}}},
        // Speech after a long silence starts a fresh chunk at the skip point.
        {"after a long silence", quiet(30500).speech(19800).quiet(700), {{30000, 50900, 50900}}},
        {"nothing fed", Timeline(), {}},
        {"speech without a closing pause", quiet(2000).speech(3000), {{0, 5000, finished}}},
        // A chunk short of 20 s at a turn end takes what follows, silence too.
        {"a chunk short of 20 s", speech(3000).quiet(4000), {{0, 7000, finished}}},
    };
    for (const auto& [name, timeline, expected] : cases) {
        std::vector<Chunk> chunks;
        EXPECT_EQ(cutInTenMsPieces(timeline, chunks), expected) << name;
        // Whole (as audio held during an outage arrives) or in blocks of any size: the same chunks.
        const auto bytes = timeline.bytes();
        ChunkCutter whole;
        ChunkCutter blocks;
        const auto sizes = test::mixedBlockSizes(bytes.size(), 48000);
        EXPECT_TRUE(withFinish(whole.feed(bytes), whole) == chunks) << name;
        EXPECT_TRUE(withFinish(test::feedInBlocks(bytes, sizes,
                                                  [&](auto part) { return blocks.feed(part); }),
                               blocks) == chunks)
            << name;
    }
}

}  // namespace
}  // namespace tessarin
