#include <cmath>

#include <gtest/gtest.h>

#include "core/audio/mono_mixdown.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"

namespace tessarin {
namespace {

TEST(PCM16Test, EncodeRoundsHalvesAwayFromZeroAndSaturates) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float overHalf = std::nextafter(0.5f / 32767, 1.0f);
    // clang-format off
    const std::pair<float, std::int16_t> cases[] = {
        {0.0f, 0}, {1.0f, 32767}, {-1.0f, -32767}, {-1.5f, -32768}, {0.5f / 32767, 0}, {overHalf, 1},
        {-overHalf, -1}, {32766.4f / 32767, 32766}, {-32767.6f / 32767, -32768}, {inf, 32767},
        {-inf, -32768}, {nan, 32767}, {-nan, 32767}};
    // clang-format on
    for (const auto& [sample, expected] : cases) {
        EXPECT_EQ(PCM16::encodeSample(sample), expected) << sample;
    }
    const std::vector<std::uint8_t> bytes = {0x00, 0x00, 0xff, 0x7f, 0x01, 0x80, 0x00, 0x80};
    EXPECT_EQ(PCM16::encode(std::vector<float>{0.0f, 1.0f, -1.0f, -1.5f}), bytes);
    EXPECT_EQ(PCM16::decode(bytes), (std::vector<std::int16_t>{0, 32767, -32767, -32768}));
    EXPECT_EQ(PCM16::decode(std::span(bytes).first(3)), std::vector<std::int16_t>{0});
}

TEST(PCM16Test, DownmixAndMixdownAverageEachWholeFrame) {
    const std::vector<float> seven = {1, 3, 0.5f, -0.5f, 2, 4, 9}, none;
    // clang-format off
    const std::tuple<int, int, std::vector<float>> mixdowns[] = {
        // channels, used, mono of {1, 3, 0.5, -0.5, 2, 4, 9}
        {2, 2, {2, 0, 3}}, {2, 1, {1, 0.5f, 2}}, {2, 5, {2, 0, 3}}, {2, 0, {1, 0.5f, 2}},
        {3, 2, {2, 0.75f}}, {0, 2, seven}};
    // clang-format on
    std::vector<float> mono = {42};  // replaced, not appended to
    for (const auto& [channels, used, expected] : mixdowns) {
        MonoMixdown::interleaved(seven, channels, used, mono);
        EXPECT_EQ(mono, expected) << channels << " " << used;
    }
    const std::vector<float> left = {1, 2, 3}, right = {3, 4}, third = {-4, 0, 0};
    const std::vector<std::span<const float>> one = {left}, two = {left, right},
                                              three = {left, right, third}, empty;
    for (const auto& [channels, expected] :
         {std::pair{one, left}, {two, {2, 3}}, {three, {0, 2}}, {empty, none}}) {
        MonoMixdown::planar(channels, mono);
        EXPECT_EQ(mono, expected) << channels.size();
    }
}

TEST(WAVTest, HeaderBytes) {
    const std::vector<std::uint8_t> pcm = {1, 2, 3, 4, 5, 6};
    const std::vector<std::uint8_t> expected = {
        'R',  'I',  'F', 'F', 42, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm',
        't',  ' ',  16,  0,   0,  0,  // format chunk length
        1,    0,    1,   0,           // PCM, 1 channel
        0xc0, 0x5d, 0,   0,           // 24000 Hz
        0x80, 0xbb, 0,   0,           // 48000 bytes per second
        2,    0,    16,  0,           // bytes per frame, bits per sample
        'd',  'a',  't', 'a', 6,  0, 0, 0, 1,   2,   3,   4,   5,   6};
    EXPECT_EQ(WAV::encode(pcm, 24000, 1), expected);
    EXPECT_EQ(WAV::encode({}, 24000, 1).size(), 44u);
    const auto stereo = WAV::encode(pcm, 48000, 2);
    EXPECT_EQ(
        std::vector(stereo.begin() + 22, stereo.begin() + 36),
        (std::vector<std::uint8_t>{2, 0, 0x80, 0xbb, 0, 0, 0x00, 0xee, 0x02, 0, 4, 0, 16, 0}));
}

}  // namespace
}  // namespace tessarin
