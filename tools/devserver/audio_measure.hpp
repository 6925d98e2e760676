#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessarin {

// What the stand-in "hears" in a stretch of 16-bit PCM: how long it is and how loud. It keeps only
// running sums, so a stretch of any length costs the same memory. There is no speech recogniser:
// the stand-in text reports these two figures, plainly bracketed so nobody takes it for words.
class AudioMeasure {
  public:
    // Below this level a stretch counts as silence (a quiet room is around -60 dBFS).
    static constexpr double silenceBelowDbfs = -50.0;

    // `samplesPerSecond` counts the samples of every channel.
    explicit AudioMeasure(int samplesPerSecond);

    // Little-endian signed 16-bit samples; a trailing odd byte is ignored.
    void add(std::span<const std::uint8_t> pcm16);
    void clear();

    std::int64_t durationMs() const;
    // RMS level relative to full scale; very low (-200) for no samples or digital silence.
    double levelDbfs() const;
    bool isSilent() const;
    // "[speech 2.4 s, -21 dBFS]".
    std::string standInText() const;

  private:
    int samplesPerSecond_;
    std::int64_t samples_ = 0;
    double sumOfSquares_ = 0.0;
};

}  // namespace tessarin
