#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/async/one_shot.hpp"
#include "recording/capture/audio_source.hpp"

namespace tessarin::test {

// A capture device for tests: the sources a recording opens on it deliver what the test plays, on
// a thread of their own, as a real capture does. The test keeps the device; a recording owns
// (and destroys) the sources it opens.
class ScriptedCapture {
  public:
    // Start of every source fails with a CaptureError of this text.
    std::optional<std::string> startFailure;
    // While set and not resumed, a source's start waits for it.
    std::shared_ptr<OneShot<void>> startGate;

    // What a pipeline's capture factory returns.
    std::unique_ptr<AudioSource> open(AudioSource::AudioCallback onAudio,
                                      AudioSource::InterruptionCallback onInterrupted);

    // Delivers the buffers in order on the capture thread of the source that is running, `gap`
    // of real time apart; without a running source they are dropped, as a stopped device drops
    // sound.
    void play(std::vector<std::vector<std::uint8_t>> buffers,
              std::chrono::milliseconds gap = std::chrono::milliseconds(0));
    // Reports an interruption (or its end) on the capture thread, after what was played before.
    void interrupt(std::optional<std::string> message);
    // Blocks until everything played or interrupted so far has been delivered.
    void waitUntilDelivered();

    int opened() const;
    bool running() const;

    ScriptedCapture();
    ~ScriptedCapture();
    ScriptedCapture(const ScriptedCapture&) = delete;
    ScriptedCapture& operator=(const ScriptedCapture&) = delete;

  private:
    class Source;
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// `buffers` pieces of `bytes` each, cut from `pcm` in order (the last one may be shorter).
std::vector<std::vector<std::uint8_t>> piecesOf(const std::vector<std::uint8_t>& pcm,
                                                std::size_t bytes);

}  // namespace tessarin::test
