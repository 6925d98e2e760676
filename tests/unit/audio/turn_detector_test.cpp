#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/turn_detector.hpp"
#include "support/audio_signals.hpp"

namespace tessarin {
namespace {

using Action = TurnDetector::Action;
constexpr std::int64_t perMs = 24;  // samples per ms at 24 kHz

std::vector<std::int16_t> speech(std::int64_t ms, std::uint32_t seed = 1) {
    return test::speechSamples(ms * perMs, seed);
}
std::vector<std::int16_t> quiet(std::int64_t ms) {
    return test::quietSamples(ms * perMs);
}

}  // namespace

void PrintTo(const TurnDetector::Action& action, std::ostream* out) {
    if (action.isCommit()) {
        *out << "commit(" << action.startMs << ", " << action.endMs << ")";
    } else {
        *out << "skipSilence";
    }
}

namespace {

struct Emitted {
    Action action;
    std::int64_t atSample;  // samples fed when it was emitted
    bool operator==(const Emitted&) const = default;
    friend void PrintTo(const Emitted& e, std::ostream* out) {
        PrintTo(e.action, out);
        *out << " at sample " << e.atSample;
    }
};

// Feeds sample by sample, noting the sample that caused each action.
std::vector<Emitted> feedOneByOne(TurnDetector& detector, const std::vector<std::int16_t>& audio) {
    std::vector<Emitted> emitted;
    for (const std::int16_t sample : audio) {
        for (const Action& action : detector.feed(std::span(&sample, 1))) {
            emitted.push_back({action, detector.total()});
        }
    }
    return emitted;
}

std::vector<std::int16_t> concat(std::initializer_list<std::vector<std::int16_t>> parts) {
    std::vector<std::int16_t> all;
    for (const auto& part : parts) {
        test::appendTo(all, part);
    }
    return all;
}

TEST(TurnDetectorTest, WorkedTimelines) {
    const struct {
        const char* name;
        std::vector<std::int16_t> audio;
        std::vector<Emitted> expected;
    } cases[] = {
        {"a second of speech then the 600 ms pause commits on the 12th silent window",
         concat({speech(1000), quiet(600)}),
         {{Action::commit(0, 1600), 1600 * perMs}}},
        {"digital silence counts as silence too",
         concat({speech(1000), std::vector<std::int16_t>(600 * perMs)}),
         {{Action::commit(0, 1600), 1600 * perMs}}},
        {"a pause after too little speech leaves the stretch open",
         concat({speech(200), quiet(2000)}),
         {}},
        {"too little speech is committed whole at 30 s, not skipped",
         concat({speech(200), quiet(31000)}),
         {{Action::commit(0, 30000), 30000 * perMs}}},
        {"30 s of silence is skipped on the 600th window",
         quiet(30000),
         {{Action::skipSilence(), 720000}}},
        {"unbroken speech is committed every 30 s",
         speech(70000),
         {{Action::commit(0, 30000), 720000}, {Action::commit(30000, 60000), 1440000}}},
        {"turns one after another",
         concat({quiet(1000), speech(400), quiet(700), speech(2000, 5), quiet(650)}),
         {{Action::commit(0, 2000), 2000 * perMs}, {Action::commit(2000, 4700), 4700 * perMs}}},
        {"a short blip inside a pause restarts the silence count",
         concat({speech(500), quiet(550), speech(50, 9), quiet(600)}),
         {{Action::commit(0, 1700), 1700 * perMs}}},
    };
    for (const auto& c : cases) {
        TurnDetector detector(24000);
        EXPECT_EQ(feedOneByOne(detector, c.audio), c.expected) << c.name;
        EXPECT_EQ(detector.elapsedMs(), static_cast<std::int64_t>(c.audio.size()) / perMs);
    }
}

TEST(TurnDetectorTest, SkipMovesTheStretchStart) {
    TurnDetector detector(24000);
    EXPECT_EQ(detector.feed(quiet(30000)), std::vector{Action::skipSilence()});
    EXPECT_EQ(detector.stretchStart(), 720000);
    EXPECT_FALSE(detector.inSpeech());
}

TEST(TurnDetectorTest, AWindowExactlyAtTheThresholdIsSilence) {
    // At 312 500 samples/s a window holds 15 625 samples; a single full-scale sample in it gives
    // an RMS of exactly sqrt(1 / 15625) = 0.008.
    const int rate = 312'500;
    const std::int64_t window = 15'625;
    auto windowWith = [&](std::vector<std::int16_t> loud) {
        std::vector<std::int16_t> samples(window);
        std::copy(loud.begin(), loud.end(), samples.begin());
        return samples;
    };
    const struct {
        std::vector<std::int16_t> loud;
        bool speech;
    } cases[] = {
        {{-32768}, false},
        {{16384, -16384, 16384, -16384}, false},
        {{-32768, 1}, true},
        {{32767}, false},
    };
    for (const auto& c : cases) {
        TurnDetector detector(rate);
        detector.feed(windowWith(c.loud));
        EXPECT_EQ(detector.inSpeech(), c.speech) << c.loud.size();
    }
}

TEST(TurnDetectorTest, NearTheThresholdAt24kHz) {
    // A constant 262 (0.0079956) is below 0.008, 263 (0.0080261) above.
    for (const auto& [value, speech] : {std::pair{262, false}, std::pair{263, true}}) {
        TurnDetector detector(24000);
        detector.feed(std::vector<std::int16_t>(1200, static_cast<std::int16_t>(value)));
        EXPECT_EQ(detector.inSpeech(), speech) << value;
    }
}

TEST(TurnDetectorTest, Flush) {
    TurnDetector fresh(24000);
    EXPECT_EQ(fresh.flush(), std::nullopt);

    TurnDetector afterCommit(24000);
    afterCommit.feed(concat({speech(1000), quiet(600), quiet(300)}));
    EXPECT_EQ(afterCommit.flush(), std::nullopt);

    TurnDetector midTurn(24000);
    midTurn.feed(concat({quiet(5000), speech(3000), quiet(210)}));
    EXPECT_EQ(midTurn.flush(), Action::commit(0, 8210));
    EXPECT_EQ(midTurn.elapsedMs(), 8210);
    EXPECT_EQ(midTurn.flush(), std::nullopt);

    // The partial window is left as it was: the next window still completes on time.
    TurnDetector partial(24000);
    partial.feed(speech(1010));
    ASSERT_TRUE(partial.flush().has_value());
    partial.feed(quiet(40));
    EXPECT_EQ(partial.total(), 1050 * perMs);
    partial.feed(speech(400));
    EXPECT_EQ(partial.feed(quiet(600)), std::vector{Action::commit(1010, 2050)});
}

TEST(TurnDetectorTest, OutputDoesNotDependOnHowTheStreamIsSplit) {
    std::vector<std::int16_t> audio;
    std::mt19937 random(3);
    for (int i = 0; i < 40; ++i) {
        const std::int64_t ms = std::uniform_int_distribution<std::int64_t>(10, 3000)(random);
        test::appendTo(audio, i % 3 == 0 ? quiet(ms * 4) : speech(ms, static_cast<unsigned>(i)));
    }
    TurnDetector whole(24000);
    const auto expected = whole.feed(audio);
    ASSERT_GE(expected.size(), 5u);

    TurnDetector one(24000);
    std::vector<Action> oneByOne;
    for (const Emitted& e : feedOneByOne(one, audio)) {
        oneByOne.push_back(e.action);
    }
    EXPECT_EQ(oneByOne, expected);

    TurnDetector blocks(24000);
    std::vector<Action> inBlocks;
    for (std::size_t at = 0; at < audio.size();) {
        const std::size_t n = std::min<std::size_t>(
            audio.size() - at, std::uniform_int_distribution<std::size_t>(0, 5000)(random));
        for (const Action& action : blocks.feed(std::span(audio).subspan(at, n))) {
            inBlocks.push_back(action);
        }
        at += n;
    }
    EXPECT_EQ(inBlocks, expected);
    EXPECT_EQ(whole.flush(), blocks.flush());
}

TEST(TurnDetectorTest, RefusesARateWithoutWholeWindows) {
    EXPECT_THROW(TurnDetector(19), std::invalid_argument);
    EXPECT_THROW(TurnDetector(0), std::invalid_argument);
    EXPECT_THROW(TurnDetector(-24000), std::invalid_argument);
    EXPECT_NO_THROW(TurnDetector(20));
}

}  // namespace
}  // namespace tessarin
