#include "core/audio/audio_converter24k.hpp"

#include "core/audio/pcm16.hpp"

namespace tessarin {

AudioConverter24k::AudioConverter24k(double inputRate) : resampler_(inputRate, outputRate, 16) {}

std::vector<std::uint8_t> AudioConverter24k::convert(std::span<const float> mono) {
    std::vector<std::uint8_t> pcm;
    convert(mono, pcm);
    return pcm;
}

void AudioConverter24k::convert(std::span<const float> mono, std::vector<std::uint8_t>& pcm) {
    if (resampler_.inputRate() == outputRate) {
        PCM16::encode(mono, pcm);
        return;
    }
    resampler_.process(mono, resampled_);
    PCM16::encode(resampled_, pcm);
}

}  // namespace tessarin
