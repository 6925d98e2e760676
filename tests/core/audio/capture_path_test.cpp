#include <cmath>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/audio_converter24k.hpp"
#include "core/audio/mono_mixdown.hpp"
#include "recording/selftest/self_test_meter.hpp"
// audio_queue_test.cpp replaces the allocator for this program.
#define TESSARIN_ALLOCATION_PROBE_COUNTERS_ONLY
#include "support/allocation_probe.hpp"
#include "support/audio_signals.hpp"

namespace tessarin {
namespace {

TEST(MonoMixdownTest, InterleavedFramesAverageTheChannelsUsed) {
    const std::vector<float> stereo = {1, 3, 0.5f, -0.5f, 7};  // an incomplete last frame
    const std::vector<float> none;
    const std::tuple<std::vector<float>, int, int, std::vector<float>> cases[] = {
        {stereo, 2, 2, {2, 0}},
        {stereo, 2, 1, {1, 0.5f}},  // voice processing: the first channel alone
        {stereo, 2, 5, {2, 0}},     // never more than there are
        {stereo, 2, 0, {1, 0.5f}},  // nothing sensible to use: the first
        {stereo, 0, 2, stereo},     // no channel count: one sample a frame
        {{3, 6, 9}, 3, 3, {6}},
        {none, 2, 2, none},
    };
    std::vector<float> mono = {42};  // replaced, not appended to
    for (const auto& [samples, channels, used, expected] : cases) {
        MonoMixdown::interleaved(samples, channels, used, mono);
        EXPECT_EQ(mono, expected) << channels << " " << used;
    }
}

TEST(MonoMixdownTest, PlanarChannelsAverage) {
    const std::vector<float> left = {1, 2, 3}, right = {3, 4};
    std::vector<float> mono = {42};
    const std::vector<std::span<const float>> one = {left}, two = {left, right}, none;
    MonoMixdown::planar(one, mono);
    EXPECT_EQ(mono, left);
    MonoMixdown::planar(two, mono);
    EXPECT_EQ(mono, (std::vector<float>{2, 3}));  // as long as the shortest
    MonoMixdown::planar(none, mono);
    EXPECT_TRUE(mono.empty());
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
