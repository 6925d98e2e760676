#include "recording/selftest/self_test_meter.hpp"

#include <cmath>

#include "core/audio/pcm16.hpp"
#include "recording/pipeline/level_meter.hpp"

namespace tessarin {

void SelfTestMeter::feed(std::span<const std::uint8_t> pcm) {
    const std::size_t count = pcm.size() / 2;
    if (count == 0) {
        return;
    }
    double sumOfSquares = 0;
    std::int64_t clipped = 0;
    bool nonZero = false;
    for (std::size_t i = 0; i < count; ++i) {
        const auto sample = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
        const double scaled = sample / 32768.0;
        sumOfSquares += scaled * scaled;
        clipped += sample >= clipMagnitude || sample <= -clipMagnitude ? 1 : 0;
        nonZero = nonZero || sample != 0;
    }
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(count));
    const std::lock_guard guard(mutex_);
    peakRMS_ = std::max(peakRMS_, rms);
    deliveredSamples_ += static_cast<std::int64_t>(count);
    totals_.samples += static_cast<std::int64_t>(count);
    totals_.clipped += clipped;
    totals_.anyNonZero = totals_.anyNonZero || nonZero;
}

void SelfTestMeter::note(std::string message) {
    const std::lock_guard guard(mutex_);
    totals_.note = std::move(message);
}

SelfTestMeter::Totals SelfTestMeter::totals() const {
    const std::lock_guard guard(mutex_);
    return totals_;
}

double SelfTestMeter::takeLevel() {
    double peak = 0;
    {
        const std::lock_guard guard(mutex_);
        peak = std::exchange(peakRMS_, 0.0);
    }
    return LevelMeter::scale(peak);
}

std::int64_t SelfTestMeter::takeDeliveredMs() {
    const std::lock_guard guard(mutex_);
    return std::exchange(deliveredSamples_, 0) / (PCM16::sampleRate / 1000);
}

}  // namespace tessarin
