#include "devserver/audio_measure.hpp"

#include <cmath>
#include <cstdio>

#include "core/audio/pcm16.hpp"

namespace tessarin {

AudioMeasure::AudioMeasure(int samplesPerSecond) : samplesPerSecond_(samplesPerSecond) {}

void AudioMeasure::add(std::span<const std::uint8_t> pcm16) {
    for (const std::int16_t sample : PCM16::decode(pcm16)) {
        sumOfSquares_ += static_cast<double>(sample) * sample;
    }
    samples_ += static_cast<std::int64_t>(pcm16.size()) / PCM16::bytesPerSample;
}

void AudioMeasure::clear() {
    samples_ = 0;
    sumOfSquares_ = 0.0;
}

std::int64_t AudioMeasure::durationMs() const {
    return samples_ * 1000 / samplesPerSecond_;
}

double AudioMeasure::levelDbfs() const {
    constexpr double floor = -200.0;
    if (samples_ == 0 || sumOfSquares_ <= 0.0) {
        return floor;
    }
    const double meanSquare = sumOfSquares_ / static_cast<double>(samples_);
    return 10.0 * std::log10(meanSquare / (32768.0 * 32768.0));
}

bool AudioMeasure::isSilent() const {
    return levelDbfs() < silenceBelowDbfs;
}

std::string AudioMeasure::standInText() const {
    char text[64];
    std::snprintf(text, sizeof text, "[speech %.1f s, %ld dBFS]",
                  static_cast<double>(durationMs()) / 1000.0, std::lround(levelDbfs()));
    return text;
}

}  // namespace tessarin
