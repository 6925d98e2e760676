#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "core/async/awaitable.hpp"

namespace tessarin {

// A capture source as the recording sees it: started once, stopped once, delivering 24 kHz mono
// PCM16 through the callbacks it was made with.
//
// `onAudio` runs on the source's capture thread with a buffer that is only valid during the call:
// it may measure and copy the bytes, nothing else (no waiting, no executor work). `onInterrupted`
// may also run on a platform thread: a message when capture was lost, nothing when it recovered.
class AudioSource {
  public:
    using AudioCallback = std::function<void(std::span<const std::uint8_t> pcm)>;
    using InterruptionCallback = std::function<void(std::optional<std::string> message)>;

    virtual ~AudioSource() = default;

    // Starts capturing; throws CaptureError (or another error) when the source can't start. What
    // a failed start created is released by `stop` or by destroying the source.
    virtual Awaitable<void> start() = 0;
    // Stops capturing; no callback runs once it has returned. Safe to call more than once.
    virtual void stop() = 0;
};

}  // namespace tessarin
