#pragma once

#include <memory>
#include <optional>
#include <string>

#include "recording/capture/audio_source.hpp"
#include "recording/capture/capture_info.hpp"

namespace tessarin {

class PulseConnection;
class PulseRecorder;

// A capture source recording from the sound server: what MicCapture and SystemAudioCapture share.
// `start`, `stop` and the device information go to the recorder behind it.
class PulseCapture : public AudioSource, public CaptureInfo {
  public:
    ~PulseCapture() override;
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    Awaitable<void> start() override;
    void stop() override;

    std::optional<double> sampleRate() const override;
    std::optional<std::string> deviceName() const override;
    bool voiceProcessingActive() const override;

  protected:
    // For the microphone (or else system audio); no connection means the process's shared one.
    PulseCapture(bool microphone, bool voiceProcessing, AudioCallback onAudio,
                 InterruptionCallback onInterrupted, std::shared_ptr<PulseConnection> connection);

  private:
    std::shared_ptr<PulseRecorder> recorder_;
};

}  // namespace tessarin
