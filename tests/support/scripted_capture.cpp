#include "support/scripted_capture.hpp"

#include <algorithm>
#include <utility>

#include "recording/capture/capture_error.hpp"

namespace tessarin::test {

// What the device and its sources share; the capture thread runs `commands` in order.
struct ScriptedCapture::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> commands;
    bool busy = false;
    bool running = false;
    int opened = 0;
    AudioSource::AudioCallback onAudio;
    AudioSource::InterruptionCallback onInterrupted;
};

class ScriptedCapture::Source final : public AudioSource {
  public:
    Source(ScriptedCapture& device, std::shared_ptr<Shared> shared)
        : startFailure_(device.startFailure),
          startGate_(device.startGate),
          shared_(std::move(shared)) {}
    ~Source() override { stop(); }

    Awaitable<void> start() override {
        if (const auto gate = startGate_) {
            co_await gate->wait();
        }
        if (startFailure_) {
            throw CaptureError(*startFailure_);
        }
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->running = true;
        }
        thread_ = std::thread([shared = shared_] { run(*shared); });
    }

    void stop() override {
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->running = false;
            shared_->commands.clear();
        }
        shared_->changed.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    static void run(Shared& shared) {
        std::unique_lock lock(shared.mutex);
        for (;;) {
            shared.changed.wait(lock, [&] { return !shared.running || !shared.commands.empty(); });
            if (!shared.running) {
                return;
            }
            auto command = std::move(shared.commands.front());
            shared.commands.pop_front();
            shared.busy = true;
            lock.unlock();
            command();
            lock.lock();
            shared.busy = false;
            shared.changed.notify_all();
        }
    }

    std::optional<std::string> startFailure_;
    std::shared_ptr<OneShot<void>> startGate_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

ScriptedCapture::ScriptedCapture() : shared_(std::make_shared<Shared>()) {}
ScriptedCapture::~ScriptedCapture() = default;

std::unique_ptr<AudioSource> ScriptedCapture::open(
    AudioSource::AudioCallback onAudio, AudioSource::InterruptionCallback onInterrupted) {
    const std::lock_guard lock(shared_->mutex);
    ++shared_->opened;
    shared_->onAudio = std::move(onAudio);
    shared_->onInterrupted = std::move(onInterrupted);
    return std::make_unique<Source>(*this, shared_);
}

void ScriptedCapture::play(std::vector<std::vector<std::uint8_t>> buffers,
                           std::chrono::milliseconds gap) {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->running) {
        return;
    }
    for (auto& buffer : buffers) {
        shared_->commands.emplace_back([shared = shared_.get(), buffer = std::move(buffer), gap] {
            shared->onAudio(buffer);
            if (gap.count() > 0) {
                std::this_thread::sleep_for(gap);
            }
        });
    }
    shared_->changed.notify_all();
}

void ScriptedCapture::interrupt(std::optional<std::string> message) {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->running) {
        return;
    }
    shared_->commands.emplace_back(
        [shared = shared_.get(), message = std::move(message)] { shared->onInterrupted(message); });
    shared_->changed.notify_all();
}

void ScriptedCapture::waitUntilDelivered() {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(
        lock, [&] { return !shared_->running || (shared_->commands.empty() && !shared_->busy); });
}

int ScriptedCapture::opened() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->opened;
}

bool ScriptedCapture::running() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

std::vector<std::vector<std::uint8_t>> piecesOf(const std::vector<std::uint8_t>& pcm,
                                                std::size_t bytes) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (std::size_t offset = 0; offset < pcm.size(); offset += bytes) {
        const std::size_t end = std::min(pcm.size(), offset + bytes);
        pieces.emplace_back(pcm.begin() + static_cast<std::ptrdiff_t>(offset),
                            pcm.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return pieces;
}

}  // namespace tessarin::test
