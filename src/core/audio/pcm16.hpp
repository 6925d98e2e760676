#pragma once

#include <cstdint>
#include <span>
#include <vector>

// 24 kHz mono signed 16-bit little-endian PCM is the one audio format every path of the helper
// ends in. These are the conversions between it and float audio.
namespace tessarin::PCM16 {

inline constexpr int sampleRate = 24000;
inline constexpr std::int64_t bytesPerSample = 2;
// 24 samples of 2 bytes: positions in a stream are its byte count divided by this.
inline constexpr std::int64_t bytesPerMs = sampleRate / 1000 * bytesPerSample;

// One float sample as a signed 16-bit value: scaled by 32767, rounded half away from zero,
// saturated; NaN becomes 32767.
std::int16_t encodeSample(float sample);

// 2 bytes per sample, little-endian.
std::vector<std::uint8_t> encode(std::span<const float> samples);
// The same into `bytes`, whose contents it replaces (its capacity is reused).
void encode(std::span<const float> samples, std::vector<std::uint8_t>& bytes);

// data.size() / 2 samples; a trailing odd byte is ignored.
std::vector<std::int16_t> decode(std::span<const std::uint8_t> data);

// Interleaved frames of `channels` samples to mono (the mean of each frame). Below 2 channels the
// samples come back unchanged; an incomplete last frame is ignored.
std::vector<float> downmix(std::span<const float> interleaved, int channels);

}  // namespace tessarin::PCM16
