#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/audio_converter24k.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/resampler.hpp"
#include "support/audio_signals.hpp"
#include "support/reference_resampler.hpp"
#include "support/resampler_feeding.hpp"

namespace tessarin {
namespace {

constexpr double rates[] = {16000, 44100, 48000, 96000};

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::size_t differingBits(const std::vector<float>& a, const std::vector<float>& b) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        differing += sameBits(a[i], b[i]) ? 0 : 1;
    }
    return differing + std::max(a.size(), b.size()) - std::min(a.size(), b.size());
}

std::size_t differingPCM16(const std::vector<float>& a, const std::vector<float>& b) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        differing += PCM16::encodeSample(a[i]) == PCM16::encodeSample(b[i]) ? 0 : 1;
    }
    return differing + std::max(a.size(), b.size()) - std::min(a.size(), b.size());
}

TEST(ResamplerTest, DerivedFigures) {
    const struct {
        double from;
        double cutoff;
        int halfWidth;
    } cases[] = {
        {8000, 0.95, 17},   {16000, 0.95, 17},   {44100, 0.5170068, 31},
        {48000, 0.475, 34}, {96000, 0.2375, 68},
    };
    for (const auto& c : cases) {
        const Resampler resampler(c.from, 24000, 16);
        EXPECT_NEAR(resampler.cutoff(), c.cutoff, 1e-7) << c.from;
        EXPECT_EQ(resampler.halfWidth(), c.halfWidth) << c.from;
        EXPECT_EQ(resampler.step(), c.from / 24000) << c.from;
        EXPECT_EQ(resampler.inputRate(), c.from);
        EXPECT_EQ(resampler.outputRate(), 24000);
    }
}

TEST(ResamplerTest, RefusesRatesThatCannotBeResampled) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct {
        double from;
        double to;
        int zeroCrossings;
    } cases[] = {{0, 24000, 16},   {-48000, 24000, 16}, {48000, 0, 16}, {nan, 24000, 16},
                 {48000, inf, 16}, {48000, 24000, 0},   {1e9, 1, 16}};
    for (const auto& c : cases) {
        EXPECT_THROW(Resampler(c.from, c.to, c.zeroCrossings), std::invalid_argument) << c.from;
    }
}

TEST(ResamplerTest, EqualRatesPassTheInputThrough) {
    Resampler resampler(24000, 24000, 16);
    EXPECT_TRUE(resampler.process({}).empty());
    const auto audio = test::mixedAudio(24000, 0.2);
    EXPECT_EQ(resampler.process(audio), audio);
}

TEST(ResamplerTest, WithholdsOutputUntilTheKernelsRightHalfArrives) {
    Resampler resampler(48000, 24000, 16);
    const std::vector<float> block(480, 0.25f);
    const std::size_t first = resampler.process(block).size();
    EXPECT_LT(first, 240u);
    // Output k needs input up to k * 2 + 34: 223 of them after 480 samples.
    EXPECT_EQ(first, 223u);
    std::size_t total = first;
    for (int i = 1; i < 1000; ++i) {
        total += resampler.process(block).size();
    }
    EXPECT_EQ(total, 1000u * 240 - 17);
}

TEST(ResamplerTest, ConstantInputComesOutAtTheSameLevel) {
    // Down-sampling keeps DC within 0.01 %; up-sampling from 16 kHz (cutoff 0.95 of the input
    // band) ripples by about 0.1 %.
    const std::pair<double, double> cases[] = {
        {44100, 0.5e-4}, {48000, 0.5e-4}, {96000, 0.5e-4}, {16000, 1e-3}};
    for (const auto& [rate, tolerance] : cases) {
        Resampler resampler(rate, 24000, 16);
        const auto output =
            resampler.process(std::vector<float>(static_cast<std::size_t>(rate), 0.5f));
        ASSERT_GT(output.size(), 1000u);
        for (auto k = static_cast<std::size_t>(resampler.halfWidth()); k < output.size(); ++k) {
            ASSERT_NEAR(output[k], 0.5, tolerance) << rate << " sample " << k;
        }
    }
}

double largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double largest = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(static_cast<double>(a[i]) - b[i]));
    }
    return largest;
}

// The core promise: the same 16-bit samples as the defining formula evaluated tap by tap, over
// mixed audio fed in 10 ms blocks, single samples and odd sizes. (The benchmark runs ten minutes
// per rate; this runs a shorter stretch.)
TEST(ResamplerTest, MatchesTheTapByTapFormulaExactly) {
#ifdef NDEBUG
    constexpr double seconds = 12;
#else
    constexpr double seconds = 2;  // unoptimised (sanitizer) builds
#endif
    for (const double rate : rates) {
        const auto audio = test::mixedAudio(rate, seconds, static_cast<std::uint32_t>(rate));
        const auto sizes = test::mixedBlockSizes(audio.size(), rate);
        test::ReferenceResampler reference(rate, 24000, 16);
        Resampler resampler(rate, 24000, 16);
        const auto expected = test::resampleInBlocks(reference, audio, sizes);
        const auto got = test::resampleInBlocks(resampler, audio, sizes);
        ASSERT_GT(got.size(), static_cast<std::size_t>(24000 * (seconds - 0.01)));
        ASSERT_EQ(got.size(), expected.size()) << rate;
        EXPECT_EQ(differingPCM16(got, expected), 0u) << rate;
        // The floats too, but for outputs that are all but silent, in their last places.
        EXPECT_LE(differingBits(got, expected),
                  static_cast<std::size_t>(resampler.approximatedSamples()))
            << rate;
        EXPECT_LT(largestDifference(got, expected), 1e-12) << rate;
        // Recomputing tap by tap is the rare exception.
        EXPECT_LT(resampler.recomputedSamples(), static_cast<std::int64_t>(got.size() / 1000))
            << rate;
    }
}

TEST(ResamplerTest, MatchesTheFormulaOnAwkwardInput) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    std::vector<float> audio = test::mixedAudio(48000, 0.5);
    audio[1000] = inf;
    audio[5000] = -inf;
    audio[9000] = std::numeric_limits<float>::quiet_NaN();
    audio[13000] = 3e38f;
    audio[13001] = 3e38f;
    audio[17000] = std::numeric_limits<float>::denorm_min();
    for (const double rate : {48000.0, 44100.0, 8000.0, 32000.0, 22050.0, 72000.0, 192000.0}) {
        test::ReferenceResampler reference(rate, 24000, 16);
        Resampler resampler(rate, 24000, 16);
        const auto sizes = test::mixedBlockSizes(audio.size(), rate, 3);
        EXPECT_EQ(differingPCM16(test::resampleInBlocks(resampler, audio, sizes),
                                 test::resampleInBlocks(reference, audio, sizes)),
                  0u)
            << rate;
    }
}

// The read position advances by `step` in double arithmetic. With a whole-number step that is
// exact, and the output does not depend at all on how the stream is split into calls. With a
// fractional step (16 and 44.1 kHz) the position's rounding depends on its size, which depends on
// how much input one call brings, so the read positions of different splits drift apart by
// rounding errors: a 16-bit sample then very rarely differs, by one.
TEST(ResamplerTest, OutputDoesNotDependOnHowTheStreamIsSplit) {
    for (const double rate : rates) {
        const auto audio = test::mixedAudio(rate, 3, 99);
        Resampler whole(rate, 24000, 16);
        const auto expected = whole.process(audio);

        Resampler oneByOne(rate, 24000, 16);
        const auto singles =
            test::resampleInBlocks(oneByOne, audio, std::vector<std::size_t>(audio.size(), 1));
        Resampler blocks(rate, 24000, 16);
        const auto mixed =
            test::resampleInBlocks(blocks, audio, test::mixedBlockSizes(audio.size(), rate, 5));
        ASSERT_EQ(singles.size(), expected.size());
        ASSERT_EQ(mixed.size(), expected.size());

        const bool wholeStep = rate == 48000 || rate == 96000;
        // One 3-second call lets the position grow largest: up to 1 in 2000 samples differs.
        const std::size_t allowed = wholeStep ? 0 : expected.size() / 2000;
        EXPECT_LE(differingPCM16(singles, expected), allowed) << rate;
        EXPECT_LE(differingPCM16(mixed, expected), allowed) << rate;
        EXPECT_LE(differingPCM16(mixed, singles), wholeStep ? 0 : expected.size() / 10000) << rate;
        if (wholeStep) {
            EXPECT_EQ(differingBits(singles, expected), 0u) << rate;
            EXPECT_EQ(differingBits(mixed, expected), 0u) << rate;
        } else {
            EXPECT_LT(largestDifference(singles, expected), 1e-4) << rate;
            EXPECT_LT(largestDifference(mixed, expected), 1e-4) << rate;
        }
    }
}

TEST(AudioConverter24kTest, ResamplesAndEncodes) {
    for (const double rate : {48000.0, 44100.0, 24000.0, 16000.0}) {
        const auto audio = test::mixedAudio(rate, 1, 4);
        AudioConverter24k converter(rate);
        EXPECT_EQ(converter.inputRate(), rate);
        test::ReferenceResampler reference(rate, 24000, 16);
        const auto sizes = test::mixedBlockSizes(audio.size(), rate, 8);
        std::vector<std::uint8_t> got;
        std::size_t at = 0;
        for (const std::size_t size : sizes) {
            const auto part = converter.convert(std::span(audio).subspan(at, size));
            got.insert(got.end(), part.begin(), part.end());
            at += size;
        }
        EXPECT_EQ(got, PCM16::encode(test::resampleInBlocks(reference, audio, sizes))) << rate;
    }
    static_assert(AudioConverter24k::outputRate == 24000.0);
}

}  // namespace
}  // namespace tessarin
