#include "core/audio/mono_mixdown.hpp"

#include <algorithm>

namespace tessarin {

void MonoMixdown::interleaved(std::span<const float> samples, int channels, int channelsUsed,
                              std::vector<float>& mono) {
    const auto stride = static_cast<std::size_t>(std::max(channels, 1));
    const auto averaged = static_cast<std::size_t>(
        channels > 0 && channelsUsed > 0 ? std::min(channels, channelsUsed) : 1);
    const std::size_t frames = samples.size() / stride;
    mono.resize(frames);
    const float* frame = samples.data();
    for (std::size_t i = 0; i < frames; ++i, frame += stride) {
        float sum = 0;
        for (std::size_t channel = 0; channel < averaged; ++channel) {
            sum += frame[channel];
        }
        mono[i] = sum / static_cast<float>(averaged);
    }
}

void MonoMixdown::planar(std::span<const std::span<const float>> channels,
                         std::vector<float>& mono) {
    if (channels.empty()) {
        mono.clear();
        return;
    }
    std::size_t frames = channels.front().size();
    for (const auto& channel : channels) {
        frames = std::min(frames, channel.size());
    }
    mono.assign(channels.front().begin(), channels.front().begin() + static_cast<long>(frames));
    for (const auto& channel : channels.subspan(1)) {
        for (std::size_t i = 0; i < frames; ++i) {
            mono[i] += channel[i];
        }
    }
    if (channels.size() > 1) {
        const float scale = 1.0f / static_cast<float>(channels.size());
        for (float& sample : mono) {
            sample *= scale;
        }
    }
}

}  // namespace tessarin
