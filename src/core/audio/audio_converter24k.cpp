#include "core/audio/audio_converter24k.hpp"

#include "core/audio/pcm16.hpp"

namespace tessarin {

AudioConverter24k::AudioConverter24k(double inputRate) : resampler_(inputRate, outputRate, 16) {}

std::vector<std::uint8_t> AudioConverter24k::convert(std::span<const float> mono) {
    if (resampler_.inputRate() == outputRate) {
        return PCM16::encode(mono);
    }
    return PCM16::encode(resampler_.process(mono));
}

}  // namespace tessarin
