#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/audio/pcm16.hpp"
#include "core/audio/resampler.hpp"

namespace tessarin {

// What each capture source does with every buffer it delivers: any input rate to 24 kHz mono
// PCM16 bytes.
class AudioConverter24k {
  public:
    static constexpr double outputRate = PCM16::sampleRate;

    explicit AudioConverter24k(double inputRate);

    std::vector<std::uint8_t> convert(std::span<const float> mono);
    // The same into `pcm`, whose contents it replaces. A capture thread that passes the same
    // buffer every time allocates nothing once the buffers have grown to its block size.
    void convert(std::span<const float> mono, std::vector<std::uint8_t>& pcm);

    double inputRate() const { return resampler_.inputRate(); }

  private:
    Resampler resampler_;
    std::vector<float> resampled_;  // reused between calls
};

}  // namespace tessarin
