#include <optional>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/turn_detector.hpp"
#include "support/audio_signals.hpp"
#include "support/block_feeding.hpp"

namespace tessarin {

void PrintTo(const TurnDetector::Action& action, std::ostream* out) {
    if (action.isCommit()) {
        *out << "commit(" << action.startMs << ", " << action.endMs << ")";
    } else {
        *out << "skipSilence";
    }
}

namespace {

using Action = TurnDetector::Action;
using test::quiet;
using test::speech;
using test::Timeline;
constexpr std::int64_t perMs = Timeline::perMs;

// Feeds sample by sample. A commit must come out with the sample that ends it.
std::vector<Action> feedOneByOne(TurnDetector& detector, const std::vector<std::int16_t>& audio) {
    std::vector<Action> actions;
    for (const std::int16_t sample : audio) {
        for (const Action& action : detector.feed(std::span(&sample, 1))) {
            EXPECT_TRUE(!action.isCommit() || action.endMs * perMs == detector.total());
            actions.push_back(action);
        }
    }
    return actions;
}

// The actions of each timeline, and what a flush then returns: a commit only for an open stretch
// that holds speech.
TEST(TurnDetectorTest, WorkedTimelines) {
    const auto commit = &Action::commit;
    const Action skip = Action::skipSilence();
    const std::optional<Action> none;
    const std::tuple<const char*, Timeline, std::vector<Action>, std::optional<Action>> cases[] = {
        {"nothing fed", Timeline(), {}, none},
        // A second of speech, then the 600 ms pause commits on the 12th silent window.
        {"a pause ends a turn", speech(1000).quiet(600), {commit(0, 1600)}, none},
        {"digital silence is silence", speech(1000).silence(600), {commit(0, 1600)}, none},
        // A pause after too little speech leaves the stretch open until it is committed whole at
        // 30 s, not skipped.
        {"too little speech", speech(200).quiet(2000), {}, commit(0, 2200)},
        {"too little speech at 30 s", speech(200).quiet(31000), {commit(0, 30000)}, none},
        // 30 s of silence is skipped on the 600th window; the next stretch starts there.
        {"skipped silence",
         quiet(30500).speech(1000).quiet(600),
         {skip, commit(30000, 32100)},
         none},
        {"unbroken speech",
         speech(70000),
         {commit(0, 30000), commit(30000, 60000)},
         commit(60000, 70000)},
        {"turns one after another",
         quiet(1000).speech(400).quiet(700).speech(2000).quiet(650),
         {commit(0, 2000), commit(2000, 4700)},
         none},
        // A short blip inside a pause restarts the silence count.
        {"a blip", speech(500).quiet(550).speech(50).quiet(600), {commit(0, 1700)}, none},
    };
    for (const auto& [name, timeline, expected, flushed] : cases) {
        TurnDetector detector(24000);
        EXPECT_EQ(feedOneByOne(detector, timeline.samples), expected) << name;
        EXPECT_EQ(detector.elapsedMs(), static_cast<std::int64_t>(timeline.samples.size()) / perMs);
        // Partial windows carry over between calls: blocks of any size give the same actions.
        TurnDetector blocks(24000);
        const auto sizes = test::mixedBlockSizes(timeline.samples.size(), 24000);
        EXPECT_EQ(test::feedInBlocks(timeline.samples, sizes,
                                     [&](auto part) { return blocks.feed(part); }),
                  expected)
            << name;
        EXPECT_EQ(blocks.flush(), flushed) << name;
        EXPECT_EQ(blocks.flush(), none) << name;
    }
}

// The threshold is exclusive. At 312 500 samples/s a window holds 15 625 samples, and a single
// full-scale sample in it gives an RMS of exactly sqrt(1 / 15625) = 0.008. At 24 kHz a constant
// 262 (0.0079956) is below 0.008, 263 (0.0080261) above.
TEST(TurnDetectorTest, AWindowIsSpeechAboveTheThreshold) {
    auto window = [](std::vector<std::int16_t> loud) {
        loud.resize(15'625);
        return loud;
    };
    const std::tuple<int, std::vector<std::int16_t>, bool> cases[] = {
        {312'500, window({-32768}), false},
        {312'500, window({-32768, 1}), true},
        {24000, std::vector<std::int16_t>(1200, 262), false},
        {24000, std::vector<std::int16_t>(1200, 263), true},
    };
    for (const auto& [rate, samples, isSpeech] : cases) {
        TurnDetector detector(rate);
        detector.feed(samples);
        EXPECT_EQ(detector.inSpeech(), isSpeech) << rate << ": " << samples[0];
    }
}

// Flushing leaves the window being filled as it was: the next one still completes on time.
TEST(TurnDetectorTest, FlushLeavesThePartialWindowAlone) {
    TurnDetector detector(24000);
    detector.feed(speech(1010).samples);
    ASSERT_TRUE(detector.flush().has_value());
    EXPECT_EQ(detector.feed(quiet(40).speech(400).quiet(600).samples),
              std::vector{Action::commit(1010, 2050)});
}

}  // namespace
}  // namespace tessarin
