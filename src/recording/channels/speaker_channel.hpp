#pragma once

#include <cstdint>
#include <vector>

#include "core/async/awaitable.hpp"

namespace tessarin {

// One speaker's transcription path, as the recording pipeline drives it: realtime over a
// WebSocket, or uploaded chunks. Audio is 24 kHz mono PCM16, fed in stream order.
class SpeakerChannel {
  public:
    virtual ~SpeakerChannel() = default;

    virtual Awaitable<void> start() = 0;
    virtual Awaitable<void> feed(std::vector<std::uint8_t> pcm) = 0;
    // The stream has ended: deliver what is still outstanding, then stop.
    virtual Awaitable<void> finish() = 0;
    // Stop at once, delivering nothing more.
    virtual Awaitable<void> cancel() = 0;
};

}  // namespace tessarin
