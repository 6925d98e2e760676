#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"
#include "support/audio_signals.hpp"

namespace tessarin {
namespace {

// Halves round away from zero; the float nearest 0.5 / 32767 scales to 0.49999999953, below one.
TEST(PCM16Test, EncodeRoundsHalvesAwayFromZeroAndSaturates) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float overHalf = std::nextafter(0.5f / 32767, 1.0f);
    const float overTwoAndAHalf = std::nextafter(2.5f / 32767, 1.0f);
    // clang-format off
    const std::pair<float, std::int16_t> cases[] = {
        {0.0f, 0}, {-0.0f, 0}, {1.0f, 32767}, {-1.0f, -32767}, {1.5f, 32767}, {-1.5f, -32768},
        {0.5f / 32767, 0}, {overHalf, 1}, {-overHalf, -1}, {2.5f / 32767, 2},
        {overTwoAndAHalf, 3}, {-overTwoAndAHalf, -3}, {32766.4f / 32767, 32766},
        {-32767.6f / 32767, -32768}, {inf, 32767}, {-inf, -32768}, {nan, 32767}, {-nan, 32767}};
    // clang-format on
    for (const auto& [sample, expected] : cases) {
        EXPECT_EQ(PCM16::encodeSample(sample), expected) << sample;
    }
}

TEST(PCM16Test, SamplesAreLittleEndianPairs) {
    const std::vector<float> samples = {0.0f, 1.0f, -1.0f, -1.5f,
                                        std::nextafter(0.5f / 32767, 1.0f)};
    const std::vector<std::uint8_t> bytes = {0x00, 0x00, 0xff, 0x7f, 0x01,
                                             0x80, 0x00, 0x80, 0x01, 0x00};
    EXPECT_EQ(PCM16::encode(samples), bytes);
    EXPECT_EQ(PCM16::decode(bytes), (std::vector<std::int16_t>{0, 32767, -32767, -32768, 1}));
    // An odd trailing byte is ignored.
    EXPECT_EQ(PCM16::decode(std::span(bytes).first(3)), std::vector<std::int16_t>{0});
}

TEST(PCM16Test, DownmixAveragesEachWholeFrame) {
    const std::vector<float> seven = {1, 3, 0.5f, -0.5f, 2, 4, 9};
    const std::vector<float> none;
    const std::tuple<std::vector<float>, int, std::vector<float>> cases[] = {
        {seven, 2, {2, 0, 3}}, {seven, 8, none},   {seven, 1, seven},
        {seven, 0, seven},     {seven, -1, seven}, {none, 2, none}};
    for (const auto& [interleaved, channels, expected] : cases) {
        EXPECT_EQ(PCM16::downmix(interleaved, channels), expected) << channels;
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
    // No audio: the header alone, both sizes counting from it.
    auto empty = std::vector(expected.begin(), expected.begin() + 44);
    empty[4] = 36;
    empty[40] = 0;
    EXPECT_EQ(WAV::encode({}, 24000, 1), empty);
}

// The standard output of a shell command.
std::string run(const std::string& command) {
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    for (int c = 0; pipe && (c = std::fgetc(pipe.get())) != EOF;) {
        output.push_back(static_cast<char>(c));
    }
    return output;
}

// sox reads the files back with their rate and channels and decodes exactly the samples written.
TEST(WAVTest, IsReadBackBySox) {
    if (run("command -v soxi >/dev/null && command -v sox >/dev/null && echo yes") != "yes\n") {
        GTEST_SKIP() << "sox is not installed";
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("tessarin-wav-test-" + std::to_string(::getpid()) + ".wav");
    const std::string quoted = "'" + path.string() + "'";
    for (const auto& [rate, channels] : {std::pair{24000, 1}, {48000, 2}, {8000, 6}}) {
        const auto pcm = test::bytesOf(test::speechSamples(rate * channels * 3 / 2, 11, 32767));
        const auto file = WAV::encode(pcm, rate, channels);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
        EXPECT_EQ(run("soxi -r " + quoted + " && soxi -c " + quoted),
                  std::to_string(rate) + "\n" + std::to_string(channels) + "\n");
        // sox does not read the byte rate: it is checked here.
        EXPECT_EQ(file[28] | file[29] << 8 | file[30] << 16, rate * channels * 2);
        const std::string raw = run("sox " + quoted + " -t raw -e signed -b 16 -L -");
        EXPECT_EQ(std::vector<std::uint8_t>(raw.begin(), raw.end()), pcm) << rate;
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tessarin
