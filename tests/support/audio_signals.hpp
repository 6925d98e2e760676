#pragma once

// Synthetic audio for the audio-processing tests and benchmarks (header-only).

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

namespace tessarin::test {

// Speech-like uniform noise: RMS peak/sqrt(3), for the default well above the speech threshold.
inline std::vector<std::int16_t> speechSamples(std::int64_t count, std::uint32_t seed = 1,
                                               int peak = 6000) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-peak, peak);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(count));
    for (auto& sample : samples) {
        sample = static_cast<std::int16_t>(noise(random));
    }
    return samples;
}

// Quiet room noise: RMS about 0.0018 of full scale, below the speech threshold.
inline std::vector<std::int16_t> quietSamples(std::int64_t count, std::uint32_t seed = 2) {
    return speechSamples(count, seed, 100);
}

// The PCM16 bytes of the samples (little-endian, like the host).
inline std::vector<std::uint8_t> bytesOf(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    if (!samples.empty()) {  // an empty vector's data() may be null, which memcpy must not get
        std::memcpy(bytes.data(), samples.data(), bytes.size());
    }
    return bytes;
}

template <typename T>
void appendTo(std::vector<T>& to, const std::vector<T>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// A 24 kHz timeline built from stretches of speech and quiet room noise.
struct Timeline {
    static constexpr std::int64_t perMs = 24;  // samples
    std::vector<std::int16_t> samples;
    std::uint32_t seed = 100;

    Timeline& speech(std::int64_t ms) { return add(speechSamples(ms * perMs, seed++)); }
    Timeline& quiet(std::int64_t ms) { return add(quietSamples(ms * perMs, seed++)); }
    Timeline& add(const std::vector<std::int16_t>& more) {
        appendTo(samples, more);
        return *this;
    }
    std::vector<std::uint8_t> bytes() const { return bytesOf(samples); }
    // The PCM16 bytes of [fromMs, toMs).
    std::vector<std::uint8_t> pcm(std::int64_t fromMs, std::int64_t toMs) const {
        return bytesOf({samples.begin() + fromMs * perMs, samples.begin() + toMs * perMs});
    }
};

inline Timeline speech(std::int64_t ms) {
    return Timeline().speech(ms);
}
inline Timeline quiet(std::int64_t ms) {
    return Timeline().quiet(ms);
}

// Float audio that exercises a resampler, in half-second sections that cycle: two tones; noise;
// digital silence; a full-scale square burst, slightly clipping; a sweep up to well past the output
// band, plus quiet noise; a very quiet tone.
inline std::vector<float> mixedAudio(double rate, double seconds, std::uint32_t seed = 7) {
    const auto count = static_cast<std::size_t>(rate * seconds);
    const auto section = static_cast<std::size_t>(rate / 2);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> audio(count);
    constexpr double twoPi = 2 * std::numbers::pi;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const std::size_t kind = (i / section) % 6;
        const double value =
            kind == 0   ? 0.5 * std::sin(twoPi * 440 * t) + 0.3 * std::sin(twoPi * 3100.7 * t)
            : kind == 1 ? 0.8 * noise(random)
            : kind == 2 ? 0
            : kind == 3 ? (std::fmod(t * 997, 1.0) < 0.5 ? 1.02 : -1.02)
            : kind == 4 ? 0.9 * std::sin(twoPi * (100 + 8000 * std::fmod(t, 0.5)) * t) +
                              0.001 * noise(random)
                        : 0.0005 * std::sin(twoPi * 1000 * t);
        audio[i] = static_cast<float>(value);
    }
    return audio;
}

}  // namespace tessarin::test
