#include "platform/linux/pulse_capture.hpp"

#include "platform/linux/pulse_recorder.hpp"

namespace tessarin {

PulseCapture::PulseCapture(bool microphone, bool voiceProcessing, AudioCallback onAudio,
                           InterruptionCallback onInterrupted,
                           std::shared_ptr<PulseConnection> connection)
    : recorder_(PulseRecorder::create(
          connection ? std::move(connection) : PulseConnection::shared(),
          PulseRecorder::Config{
              microphone ? PulseRecorder::Kind::microphone : PulseRecorder::Kind::systemAudio,
              voiceProcessing, std::move(onAudio), std::move(onInterrupted)})) {}

PulseCapture::~PulseCapture() {
    recorder_->stop();
}

Awaitable<void> PulseCapture::start() {
    co_await recorder_->start();
}

void PulseCapture::stop() {
    recorder_->stop();
}

std::optional<double> PulseCapture::sampleRate() const {
    return recorder_->sampleRate();
}

std::optional<std::string> PulseCapture::deviceName() const {
    return recorder_->deviceName();
}

bool PulseCapture::voiceProcessingActive() const {
    return recorder_->voiceProcessingActive();
}

}  // namespace tessarin
