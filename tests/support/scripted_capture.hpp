#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/async/one_shot.hpp"
#include "recording/capture/audio_source.hpp"

namespace tessarin::test {

// A capture device for tests: the sources a recording opens on it deliver what the test plays on a
// thread of their own, as a real capture does, and a stopped source delivers nothing more. The
// device outlives the sources, which the recording owns.
class ScriptedCapture {
  public:
    // Start of every source fails with a CaptureError of this text.
    std::optional<std::string> startFailure;
    std::shared_ptr<OneShot<void>> startGate;
    // Called once a source has started (on the executor), e.g. to play what it is to capture.
    std::function<void()> onStart;

    std::unique_ptr<AudioSource> open(AudioSource::AudioCallback onAudio,
                                      AudioSource::InterruptionCallback onInterrupted);
    // Delivers the buffers in order from a capture thread and returns once it is done; while no
    // source runs they are dropped, as a stopped device drops sound.
    void play(const std::vector<std::vector<std::uint8_t>>& buffers);
    // Reports an interruption (or its end) the same way.
    void interrupt(std::optional<std::string> message);
    int opened() const;
    bool running() const;

  private:
    class Source;
    // Runs `delivery` on a thread of its own while holding the lock, so that a source that has
    // stopped calls nothing afterwards; returns when it is done.
    void deliver(const std::function<void()>& delivery);

    mutable std::mutex mutex_;
    bool running_ = false;
    int opened_ = 0;
    AudioSource::AudioCallback onAudio_;
    AudioSource::InterruptionCallback onInterrupted_;
};

std::vector<std::vector<std::uint8_t>> piecesOf(const std::vector<std::uint8_t>& pcm,
                                                std::size_t bytes);

}  // namespace tessarin::test
