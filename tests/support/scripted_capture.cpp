#include "support/scripted_capture.hpp"

#include <algorithm>
#include <thread>
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

void ScriptedCapture::deliver(const std::function<void()>& delivery) {
    std::thread([&] {
        const std::lock_guard lock(mutex_);
        if (running_) {
            delivery();
        }
    }).join();
}

void ScriptedCapture::play(const std::vector<std::vector<std::uint8_t>>& buffers) {
    deliver([&] {
        for (const auto& buffer : buffers) {
            onAudio_(buffer);
        }
    });
}

void ScriptedCapture::interrupt(std::optional<std::string> message) {
    deliver([&] { onInterrupted_(message); });
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
