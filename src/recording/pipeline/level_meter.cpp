#include "recording/pipeline/level_meter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tessarin {

LevelMeter::LevelMeter(Clock::TimePoint createdAt) : lastSignal_(createdAt) {}

void LevelMeter::measure(std::span<const std::uint8_t> pcm) {
    const std::size_t samples = pcm.size() / 2;
    if (samples == 0) {
        return;
    }
    double sumOfSquares = 0;
    bool signal = false;
    for (std::size_t i = 0; i < samples; ++i) {
        const auto sample = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
        const double value = sample / 32768.0;
        sumOfSquares += value * value;
        signal = signal || std::abs(static_cast<int>(sample)) >= 2;
    }
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(samples));
    const std::lock_guard lock(mutex_);
    peakRMS_ = std::max(peakRMS_, rms);
    signalUndated_ = signalUndated_ || signal;
}

double LevelMeter::take() {
    double peak = 0;
    {
        const std::lock_guard lock(mutex_);
        peak = peakRMS_;
        peakRMS_ = 0;
    }
    return scale(peak);
}

Clock::Duration LevelMeter::silentFor(Clock::TimePoint now) {
    const std::lock_guard lock(mutex_);
    if (signalUndated_) {
        signalUndated_ = false;
        lastSignal_ = now;
    }
    return now - lastSignal_;
}

double LevelMeter::scale(double rms) {
    if (!(rms > 0)) {
        return 0;
    }
    return std::clamp((20 * std::log10(rms) + 60) / 60, 0.0, 1.0);
}

}  // namespace tessarin
