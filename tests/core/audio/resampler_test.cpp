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

TEST(ResamplerTest, RefusesUnusableRates) {
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
    EXPECT_NO_THROW(Resampler(48000, 24000, 1));
}

// The converter's PCM16 is that of the formula evaluated tap by tap, however the audio is split and
// whatever it holds (infinities, NaN, huge values), including when output is withheld until a
// kernel's right half has arrived. Equal rates pass the audio through.
TEST(ResamplerTest, ConvertsToTheTapByTapFormulasSamplesHoweverTheAudioIsSplit) {
#ifdef NDEBUG
    constexpr double seconds = 4;
#else
    constexpr double seconds = 1;  // unoptimised (sanitizer) builds
#endif
    for (const double rate : {8000.0, 16000.0, 22050.0, 24000.0, 32000.0, 44100.0, 48000.0, 72000.0,
                              96000.0, 192000.0}) {
        auto audio = test::mixedAudio(rate, seconds, static_cast<std::uint32_t>(rate));
        const std::size_t eighth = audio.size() / 8;
        audio[eighth] = std::numeric_limits<float>::infinity();
        audio[2 * eighth] = -audio[eighth];
        audio[3 * eighth] = std::numeric_limits<float>::quiet_NaN();
        audio[4 * eighth] = audio[4 * eighth + 1] = 3e38f;
        const auto sizes = test::mixedBlockSizes(audio.size(), rate);
        test::ReferenceResampler reference(rate, 24000, 16);
        AudioConverter24k converter(rate);
        EXPECT_TRUE(
            test::feedInBlocks(audio, sizes, [&](auto part) { return converter.convert(part); }) ==
            PCM16::encode(test::resampleInBlocks(reference, audio, sizes)))
            << rate;
    }
}

}  // namespace
}  // namespace tessarin
