#pragma once

#include "platform/linux/pulse_capture.hpp"

namespace tessarin {

// The microphone: a record stream on the sound server's default source, in the source's own rate
// and channels, mixed down to mono and converted to 24 kHz PCM16 on the server's loop thread.
// Voice processing asks the server to route the stream through its echo canceller (and then takes
// the first channel alone). When the default source changes, capture moves to the new one and
// `onInterrupted` reports nothing (it recovered) or "The microphone stopped: " and why.
class MicCapture final : public PulseCapture {
  public:
    MicCapture(bool voiceProcessing, AudioCallback onAudio, InterruptionCallback onInterrupted,
               std::shared_ptr<PulseConnection> connection = nullptr)
        : PulseCapture(true, voiceProcessing, std::move(onAudio), std::move(onInterrupted),
                       std::move(connection)) {}
};

}  // namespace tessarin
