#include <cmath>

#include <gtest/gtest.h>

#include "core/audio/audio_converter24k.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/resampler.hpp"
#include "support/audio_signals.hpp"
#include "support/block_feeding.hpp"
#include "support/reference_resampler.hpp"

namespace tessarin {
namespace {

// Output k needs input up to k * 2 + 34 at 48 kHz: 223 of them after 480 samples.
TEST(ResamplerTest, RefusesUnusableRatesAndWithholdsOutputUntilTheKernelsRightHalfArrives) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    // clang-format off
    const std::tuple<double, double, int> refused[] = {
        {0, 24000, 16}, {-48000, 24000, 16}, {48000, 0, 16}, {nan, 24000, 16}, {48000, inf, 16},
        {48000, 24000, 0}, {1e9, 1, 16}};
    // clang-format on
    for (const auto& [from, to, zeroCrossings] : refused) {
        EXPECT_THROW(Resampler(from, to, zeroCrossings), std::invalid_argument) << from;
    }
    Resampler resampler(48000, 24000, 16);
    const std::vector<float> block(480, 0.25f);
    std::size_t total = resampler.process(block).size();
    EXPECT_EQ(total, 223u);
    for (int i = 1; i < 1000; ++i) {
        total += resampler.process(block).size();
    }
    EXPECT_EQ(total, 1000u * 240 - 17);
}

// The 16-bit samples of the formula evaluated tap by tap, however the audio is split (equal rates
// pass it through), and the 24 kHz converter's PCM16 of it.
TEST(ResamplerTest, MatchesTheTapByTapFormulaExactly) {
#ifdef NDEBUG
    constexpr double seconds = 12;
#else
    constexpr double seconds = 2;  // unoptimised (sanitizer) builds
#endif
    for (const double rate : {16000.0, 24000.0, 44100.0, 48000.0, 96000.0}) {
        const auto audio = test::mixedAudio(rate, seconds, static_cast<std::uint32_t>(rate));
        const auto sizes = test::mixedBlockSizes(audio.size(), rate);
        test::ReferenceResampler reference(rate, 24000, 16);
        Resampler resampler(rate, 24000, 16);
        const auto expected = test::resampleInBlocks(reference, audio, sizes);
        const auto got = test::resampleInBlocks(resampler, audio, sizes);
        ASSERT_GT(got.size(), static_cast<std::size_t>(24000 * (seconds - 0.01)));
        EXPECT_TRUE(PCM16::encode(got) == PCM16::encode(expected)) << rate;
        // A whole-number step gives the formula's very floats, however the stream is split.
        if (rate == 48000 || rate == 96000) {
            EXPECT_TRUE(got == expected && Resampler(rate, 24000, 16).process(audio) == got)
                << rate;
        }
        // Recomputing tap by tap is the rare exception.
        EXPECT_LT(resampler.recomputedSamples(), static_cast<std::int64_t>(got.size() / 1000))
            << rate;
        AudioConverter24k converter(rate);
        EXPECT_TRUE(
            test::feedInBlocks(audio, sizes, [&](auto part) { return converter.convert(part); }) ==
            PCM16::encode(expected))
            << rate;
    }
}

TEST(ResamplerTest, MatchesTheFormulaOnAwkwardInput) {
    std::vector<float> audio = test::mixedAudio(48000, 0.5);
    audio[1000] = std::numeric_limits<float>::infinity();
    audio[5000] = -audio[1000];
    audio[9000] = std::numeric_limits<float>::quiet_NaN();
    audio[13000] = audio[13001] = 3e38f;
    for (const double rate : {48000.0, 44100.0, 8000.0, 32000.0, 22050.0, 72000.0, 192000.0}) {
        const auto sizes = test::mixedBlockSizes(audio.size(), rate, 3);
        test::ReferenceResampler reference(rate, 24000, 16);
        Resampler resampler(rate, 24000, 16);
        EXPECT_TRUE(PCM16::encode(test::resampleInBlocks(resampler, audio, sizes)) ==
                    PCM16::encode(test::resampleInBlocks(reference, audio, sizes)))
            << rate;
    }
}

}  // namespace
}  // namespace tessarin
