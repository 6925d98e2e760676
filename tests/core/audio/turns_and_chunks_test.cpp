#include <gtest/gtest.h>

#include "core/audio/chunk_cutter.hpp"
#include "core/audio/turn_detector.hpp"
#include "support/audio_signals.hpp"
#include "support/block_feeding.hpp"

namespace tessarin {

void PrintTo(const TurnDetector::Action& action, std::ostream* out) {
    *out << (action.isCommit() ? "commit " : "skip ") << action.startMs << "-" << action.endMs;
}

namespace {

using Action = TurnDetector::Action;
using test::quiet;
using test::speech;
using test::Timeline;

// The actions of each timeline fed in blocks of any size (partial windows carry over), then what
// a flush returns: a commit only for an open stretch that holds speech.
TEST(TurnDetectorTest, WorkedTimelines) {
    const auto commit = &Action::commit;
    const std::optional<Action> none;
    // clang-format off
    const std::tuple<const char*, Timeline, std::vector<Action>, std::optional<Action>> cases[] = {
        // A second of speech, then the 600 ms pause commits on the 12th quiet window.
        {"a pause ends a turn", speech(1000).quiet(600), {commit(0, 1600)}, none},
        {"a pause one window short", speech(1000).quiet(550), {}, commit(0, 1550)},
        // Too little speech before a pause leaves the stretch open until 30 s, committed whole.
        {"too little speech", speech(250).quiet(31000), {commit(0, 30000)}, none},
        {"just enough speech", speech(300).quiet(600), {commit(0, 900)}, none},
        // 30 s of silence is skipped on the 600th window; the next stretch starts there.
        {"skipped silence", quiet(30500).speech(1000).quiet(600), {Action::skipSilence(), commit(30000, 32100)}, none},
        {"unbroken speech", speech(40000), {commit(0, 30000)}, commit(30000, 40000)},
        {"turns one after another", quiet(1000).speech(400).quiet(700).speech(2000).quiet(650),
         {commit(0, 2000), commit(2000, 4700)}, none},
        {"a blip inside a pause restarts it", speech(500).quiet(550).speech(50).quiet(600), {commit(0, 1700)}, none}};
    // clang-format on
    for (const auto& [name, timeline, expected, flushed] : cases) {
        TurnDetector detector(24000);
        const auto sizes = test::mixedBlockSizes(timeline.samples.size(), 24000);
        EXPECT_EQ(test::feedInBlocks(timeline.samples, sizes,
                                     [&](auto part) { return detector.feed(part); }),
                  expected)
            << name;
        EXPECT_EQ(detector.elapsedMs(), std::ssize(timeline.samples) / Timeline::perMs) << name;
        EXPECT_EQ(detector.flush(), flushed) << name;
        EXPECT_EQ(detector.flush(), none) << name;
    }
}

// At 312 500 samples/s a window holds 15 625 samples, and a single full-scale sample in it gives
// an RMS of exactly sqrt(1 / 15625) = 0.008: not yet speech.
TEST(TurnDetectorTest, AWindowIsSpeechAboveTheThresholdAndFlushLeavesItAlone) {
    for (const auto& [loud, isSpeech] : {std::pair{std::vector<std::int16_t>{-32768}, false},
                                         std::pair{std::vector<std::int16_t>{-32768, 1}, true}}) {
        auto window = loud;
        window.resize(15'625);
        TurnDetector detector(312'500);
        detector.feed(window);
        EXPECT_EQ(detector.inSpeech(), isSpeech) << loud.size();
    }
    // The window being filled at a flush still completes on time.
    TurnDetector detector(24000);
    detector.feed(speech(1010).samples);
    ASSERT_TRUE(detector.flush().has_value());
    EXPECT_EQ(detector.feed(quiet(40).speech(400).quiet(600).samples),
              std::vector{Action::commit(1010, 2050)});
}

// A chunk's span and when it came out: the ms of audio fed by then, or `finished` for the chunk
// that finish() returned.
using Cut = std::tuple<std::int64_t, std::int64_t, std::int64_t>;
constexpr std::int64_t finished = -1;

std::vector<ChunkCutter::Chunk> withFinish(std::vector<ChunkCutter::Chunk> chunks,
                                           ChunkCutter& cutter) {
    if (auto last = cutter.finish()) {
        chunks.push_back(std::move(*last));
    }
    return chunks;
}

// Fed 10 ms at a time, as the captures deliver audio; the same chunks come out of one large feed
// and of blocks of any size. Then the silence a replay of the whole stream leaves out.
TEST(ChunkCutterTest, WorkedTimelines) {
    using Stretch = ChunkCutter::Stretch;
    // clang-format off
    const std::tuple<const char*, Timeline, std::vector<Cut>, std::vector<Stretch>> cases[] = {
        // A pause after 20 s of speech ends the chunk; the silence after it is not uploaded.
        {"a pause after 20 s", speech(20400).quiet(5000), {{0, 21000, 21000}}, {{21000, 25400}}},
        {"a turn ending 20 s in", speech(19400).quiet(1000), {{0, 20000, 20000}}, {{20000, 20400}}},
        {"a turn ending just short of 20 s", speech(19350).quiet(650).speech(1000),
         {{0, 21000, finished}}, {}},
        {"unbroken speech", speech(40000), {{0, 30000, 30000}, {30000, 40000, finished}}, {}},
        // At 30 s the latest turn end, then the detector's 30 s stretch.
        {"no pause after 20 s", speech(7400).quiet(600).speech(6400).quiet(600).speech(31000),
         {{0, 15000, 30000}, {15000, 45000, 45000}, {45000, 46000, finished}}, {}},
        {"silence alone", quiet(31000), {}, {{0, 31000}}},
        // A short turn is cut at the hard limit, the silence after it dropped up to the skip.
        {"a short turn", speech(5000).quiet(31000).speech(2000),
         {{0, 5600, 30000}, {35600, 38000, finished}}, {{5600, 35600}}},
        {"nothing fed", Timeline(), {}, {}},
        {"speech without a closing pause", quiet(2000).speech(3000), {{0, 5000, finished}}, {}},
        {"a chunk short of 20 s takes what follows", speech(3000).quiet(4000), {{0, 7000, finished}}, {}}};
    // clang-format on
    for (const auto& [name, timeline, expected, silences] : cases) {
        ChunkCutter cutter;
        std::vector<Cut> cuts;
        std::vector<ChunkCutter::Chunk> chunks;
        auto note = [&](ChunkCutter::Chunk chunk, std::int64_t atMs) {
            cuts.push_back({chunk.startedMs, chunk.endedMs, atMs});
            EXPECT_TRUE(chunk.pcm == timeline.pcm(chunk.startedMs, chunk.endedMs)) << name;
            chunks.push_back(std::move(chunk));
        };
        const auto bytes = timeline.bytes();
        for (std::size_t at = 0; at < bytes.size(); at += 480) {
            const auto piece =
                std::span(bytes).subspan(at, std::min<std::size_t>(480, bytes.size() - at));
            for (auto& chunk : cutter.feed(piece)) {
                note(std::move(chunk), cutter.elapsedMs());
            }
        }
        if (auto last = cutter.finish()) {
            note(std::move(*last), finished);
        }
        EXPECT_EQ(cuts, expected) << name;
        for (const auto& sizes :
             {std::vector{bytes.size()}, test::mixedBlockSizes(bytes.size(), 48000)}) {
            ChunkCutter fed;
            EXPECT_TRUE(withFinish(test::feedInBlocks(bytes, sizes,
                                                      [&](auto part) { return fed.feed(part); }),
                                   fed) == chunks)
                << name << " in " << sizes.size() << " blocks";
        }
        EXPECT_EQ(ChunkCutter::silenceLeftOut(bytes), silences) << name;
    }
}

}  // namespace
}  // namespace tessarin
