#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "core/async/clock.hpp"

namespace tessarin {

// One side's level meter: the capture thread measures every buffer, the recording's level tick
// takes the loudest buffer of the interval as a 0-1 level and asks how long the side has been
// silent.
//
// The capture thread never reads a clock: it only notes that a buffer had signal, and the next
// look from the executor dates that signal. Signal is thus dated to within one level tick.
// `measure` runs on a capture thread; the rest on the executor.
class LevelMeter {
  public:
    explicit LevelMeter(Clock::TimePoint createdAt);
    LevelMeter(const LevelMeter&) = delete;
    LevelMeter& operator=(const LevelMeter&) = delete;

    // One 24 kHz PCM16 buffer. A buffer has signal when a sample reaches a magnitude of 2: the
    // -1/0/1 dither of an idle device counts as silence. No allocation, a short lock.
    void measure(std::span<const std::uint8_t> pcm);
    // The scaled peak RMS since the last take, which starts the next interval.
    double take();
    // Time since the last buffer with signal (or since creation), as of `now`.
    Clock::Duration silentFor(Clock::TimePoint now);

    // An RMS (full scale 1) on a 0-1 scale linear in decibels: -60 dBFS and below is 0, full
    // scale is 1.
    static double scale(double rms);

  private:
    std::mutex mutex_;
    double peakRMS_ = 0;
    bool signalUndated_ = false;
    Clock::TimePoint lastSignal_;
};

}  // namespace tessarin
