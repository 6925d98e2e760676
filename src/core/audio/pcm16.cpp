#include "core/audio/pcm16.hpp"

#include <algorithm>
#include <cmath>

namespace tessarin::PCM16 {

std::int16_t encodeSample(float sample) {
    // std::round rounds halves away from zero. Written so that NaN (which compares false) lands
    // on the positive limit.
    const double rounded = std::round(static_cast<double>(sample) * 32767.0);
    if (rounded < 32767.0) {
        return static_cast<std::int16_t>(std::max(rounded, -32768.0));
    }
    return 32767;
}

std::vector<std::uint8_t> encode(std::span<const float> samples) {
    std::vector<std::uint8_t> bytes;
    encode(samples, bytes);
    return bytes;
}

void encode(std::span<const float> samples, std::vector<std::uint8_t>& bytes) {
    bytes.resize(samples.size() * 2);
    std::uint8_t* out = bytes.data();
    for (const float sample : samples) {
        const auto value = static_cast<std::uint16_t>(encodeSample(sample));
        *out++ = static_cast<std::uint8_t>(value & 0xff);
        *out++ = static_cast<std::uint8_t>(value >> 8);
    }
}

std::vector<std::int16_t> decode(std::span<const std::uint8_t> data) {
    std::vector<std::int16_t> samples(data.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto value = static_cast<std::uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        samples[i] = static_cast<std::int16_t>(value);
    }
    return samples;
}

std::vector<float> downmix(std::span<const float> interleaved, int channels) {
    if (channels < 2) {
        return {interleaved.begin(), interleaved.end()};
    }
    const auto width = static_cast<std::size_t>(channels);
    const std::size_t frames = interleaved.size() / width;
    const float reciprocal = 1.0f / static_cast<float>(channels);
    std::vector<float> mono(frames);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        float sum = 0.0f;
        for (std::size_t channel = 0; channel < width; ++channel) {
            sum += interleaved[frame * width + channel];
        }
        mono[frame] = sum * reciprocal;
    }
    return mono;
}

}  // namespace tessarin::PCM16
