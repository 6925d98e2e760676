#include <cmath>

#include <gtest/gtest.h>

#include "core/audio/audio_converter24k.hpp"
#include "core/audio/mono_mixdown.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/resampler.hpp"
#include "recording/selftest/self_test_meter.hpp"
// audio_queue_test.cpp replaces the allocator for this program.
#define TESSARIN_ALLOCATION_PROBE_COUNTERS_ONLY
#include "support/allocation_probe.hpp"
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

// The same 16-bit samples as the defining formula evaluated tap by tap, over mixed audio fed in
// 10 ms blocks, single samples and odd sizes (equal rates pass the input through), and the 24 kHz
// converter's PCM16 of it. (The benchmark runs ten minutes per rate; this a shorter stretch.)
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
    constexpr float inf = std::numeric_limits<float>::infinity();
    std::vector<float> audio = test::mixedAudio(48000, 0.5);
    audio[1000] = inf;
    audio[5000] = -inf;
    audio[9000] = std::numeric_limits<float>::quiet_NaN();
    audio[13000] = audio[13001] = 3e38f;
    audio[17000] = std::numeric_limits<float>::denorm_min();
    for (const double rate : {48000.0, 44100.0, 8000.0, 32000.0, 22050.0, 72000.0, 192000.0}) {
        test::ReferenceResampler reference(rate, 24000, 16);
        Resampler resampler(rate, 24000, 16);
        const auto sizes = test::mixedBlockSizes(audio.size(), rate, 3);
        const auto got = test::resampleInBlocks(resampler, audio, sizes);
        EXPECT_TRUE(PCM16::encode(got) ==
                    PCM16::encode(test::resampleInBlocks(reference, audio, sizes)))
            << rate;
    }
}

// What a capture thread does with each buffer: mix down, convert, meter. Into buffers it reuses,
// that is the same bytes as the allocating calls, and once warm it allocates nothing.
TEST(CapturePathTest, ReusedBuffersGiveTheSameBytesAndNoAllocationOnceWarm) {
    for (const double rate : {44100.0, 48000.0, 24000.0}) {
        const auto mono = test::mixedAudio(rate, 3);
        std::vector<float> stereo;
        for (const float sample : mono) {
            stereo.insert(stereo.end(), {sample, -sample * 0.5f});
        }
        AudioConverter24k reused(rate), allocating(rate);
        SelfTestMeter meter;
        std::vector<float> mixed;
        std::vector<std::uint8_t> pcm;
        const auto block = static_cast<std::size_t>(rate / 10) * 2;  // 100 ms of stereo
        std::size_t warmAllocations = 0;
        for (std::size_t at = 0; at + block <= stereo.size(); at += block) {
            const std::size_t before = test::AllocationProbe::allocations;
            MonoMixdown::interleaved(std::span(stereo).subspan(at, block), 2, 2, mixed);
            reused.convert(mixed, pcm);
            meter.feed(pcm);
            if (at >= 2 * block) {
                warmAllocations += test::AllocationProbe::allocations - before;
            }
            ASSERT_EQ(pcm, allocating.convert(mixed)) << rate << " at " << at;
        }
        EXPECT_EQ(warmAllocations, 0u) << rate;
    }
}

}  // namespace
}  // namespace tessarin
