#include "support/scripted_capture.hpp"

#include <algorithm>
#include <utility>

#include "recording/capture/capture_error.hpp"

namespace tessarin::test {

class ScriptedCapture::Source final : public AudioSource {
  public:
    explicit Source(ScriptedCapture& device) : device_(device) {}
    ~Source() override { stop(); }

    Awaitable<void> start() override {
        if (const auto gate = device_.startGate) {
            co_await gate->wait();
        }
        if (device_.startFailure) {
            throw CaptureError(*device_.startFailure);
        }
        setRunning(true);
        if (device_.onStart) {
            device_.onStart();
        }
    }
    void stop() override { setRunning(false); }

  private:
    void setRunning(bool running) {
        const std::lock_guard lock(device_.mutex_);
        device_.running_ = running;
        device_.starts_ += running ? 1 : 0;
    }
    ScriptedCapture& device_;
};

std::unique_ptr<AudioSource> ScriptedCapture::open(
    AudioSource::AudioCallback onAudio, AudioSource::InterruptionCallback onInterrupted) {
    const std::lock_guard lock(mutex_);
    ++opened_;
    onAudio_ = std::move(onAudio);
    onInterrupted_ = std::move(onInterrupted);
    return std::make_unique<Source>(*this);
}

void ScriptedCapture::deliver(std::function<void(int)> delivery) {
    waitUntilDelivered();
    const std::lock_guard lock(mutex_);
    delivering_ = std::thread(std::move(delivery), starts_);
}

void ScriptedCapture::play(std::vector<std::vector<std::uint8_t>> buffers,
                           std::chrono::milliseconds gap) {
    deliver([this, buffers = std::move(buffers), gap](int starts) {
        for (const auto& buffer : buffers) {
            if (const std::lock_guard lock(mutex_); !running_ || starts_ != starts) {
                return;
            } else {
                onAudio_(buffer);
            }
            std::this_thread::sleep_for(gap);
        }
    });
}

void ScriptedCapture::interrupt(std::optional<std::string> message) {
    deliver([this, message = std::move(message)](int starts) {
        if (const std::lock_guard lock(mutex_); running_ && starts_ == starts) {
            onInterrupted_(message);
        }
    });
}

void ScriptedCapture::waitUntilDelivered() {
    if (delivering_.joinable()) {
        delivering_.join();
    }
}

int ScriptedCapture::opened() const {
    const std::lock_guard lock(mutex_);
    return opened_;
}

bool ScriptedCapture::running() const {
    const std::lock_guard lock(mutex_);
    return running_;
}

std::vector<std::vector<std::uint8_t>> piecesOf(const std::vector<std::uint8_t>& pcm,
                                                std::size_t bytes) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (std::size_t offset = 0; offset < pcm.size(); offset += bytes) {
        const auto begin = pcm.begin() + static_cast<std::ptrdiff_t>(offset);
        pieces.emplace_back(
            begin, begin + static_cast<std::ptrdiff_t>(std::min(bytes, pcm.size() - offset)));
    }
    return pieces;
}

}  // namespace tessarin::test
