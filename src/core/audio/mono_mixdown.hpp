#pragma once

#include <span>
#include <vector>

namespace tessarin {

// Float capture buffers of any channel layout to mono, for the capture threads: each result
// replaces the contents of the caller's vector, so a thread that passes the same vector every
// time stops allocating once it has grown to the block size.
struct MonoMixdown {
    // Frames of `channels` interleaved samples (a count of 0 or less counts as 1); each output
    // sample is the mean of the frame's first `channelsUsed` samples (at most `channels`; just the
    // first when either count is 0 or less). An incomplete last frame is ignored.
    static void interleaved(std::span<const float> samples, int channels, int channelsUsed,
                            std::vector<float>& mono);

    // One buffer per channel; each output sample is the mean over the channels. The output is
    // as long as the shortest channel.
    static void planar(std::span<const std::span<const float>> channels, std::vector<float>& mono);
};

}  // namespace tessarin
