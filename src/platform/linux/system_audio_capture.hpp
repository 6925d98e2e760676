#pragma once

#include "platform/linux/pulse_capture.hpp"

namespace tessarin {

// What the computer plays (the other side of a call): a record stream on the monitor of the sound
// server's default sink, converted like the microphone. A monitor needs no permission and hears
// every application; the helper itself plays nothing. When the default sink changes, the stream
// is rebuilt once on the new sink's monitor and `onInterrupted` reports nothing (it recovered) or
// "Lost the other side after the output device changed: " and why. Its device name is the output
// device's, not its monitor's.
class SystemAudioCapture final : public PulseCapture {
  public:
    SystemAudioCapture(AudioCallback onAudio, InterruptionCallback onInterrupted,
                       std::shared_ptr<PulseConnection> connection = nullptr)
        : PulseCapture(false, false, std::move(onAudio), std::move(onInterrupted),
                       std::move(connection)) {}
};

}  // namespace tessarin
