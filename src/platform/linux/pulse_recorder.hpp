#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/async/awaitable.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "platform/linux/pulse_connection.hpp"
#include "platform/linux/pulse_queries.hpp"
#include "platform/linux/pulse_record_stream.hpp"
#include "recording/capture/audio_source.hpp"

namespace tessarin {

// What the microphone and the system-audio capture share: a record stream on the default source
// (or the default sink's monitor) that follows the default device. When it changes, the stream is
// rebuilt once on the new device and `onInterrupted` says whether that worked; when the stream
// fails (its device went away, the sound server stopped), `onInterrupted` says so and the stream
// is rebuilt when the server is back or the default device changes.
//
// Confined to the executor `start` runs on; audio arrives on the sound server's loop thread.
class PulseRecorder : public SharedObject<PulseRecorder>, private PulseConnection::Listener {
  public:
    enum class Kind { microphone, systemAudio };
    struct Config {
        Kind kind = Kind::microphone;
        bool voiceProcessing = false;
        AudioSource::AudioCallback onAudio;
        AudioSource::InterruptionCallback onInterrupted;
    };

    PulseRecorder(Token, std::shared_ptr<PulseConnection> connection, Config config);
    ~PulseRecorder();
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;

    // Opens the stream and waits until it records; throws CaptureError.
    Awaitable<void> start();
    // Closes the stream; no callback runs once it has returned.
    void stop();

    std::optional<double> sampleRate() const;
    std::optional<std::string> deviceName() const;
    bool voiceProcessingActive() const;

  private:
    // Where the stream goes and what the user calls that device.
    struct Target {
        PulseRecordStream::Settings settings;
        std::string description;
    };

    Awaitable<Target> resolve();
    Awaitable<Target> microphoneTarget(std::string source);
    Awaitable<Target> systemAudioTarget(std::string sink);
    Awaitable<PulseConnection::Result<PulseQueries::Source>> sourceNamed(std::string name);
    static Target targetOn(const PulseQueries::Source& source, std::string streamName,
                           bool echoCancellation);
    Awaitable<void> open();
    Awaitable<void> reopen(bool afterChange);
    Awaitable<void> refreshVoiceProcessing();
    void closeStream();
    PulseRecordStream::Events streamEvents(std::uint64_t id);
    void streamChanged(std::uint64_t id, std::optional<int> error);
    void rebuildSoon(bool afterChange);
    void throwIfStopped(std::uint64_t stops) const;
    std::string interruption(const std::string& description, bool afterChange) const;

    // Loop thread.
    void connectionReady() override;
    void defaultsChanged(const PulseConnection::Defaults& before,
                         const PulseConnection::Defaults& now) override;
    template <class Work>
    void onExecutor(Work work);

    const std::shared_ptr<PulseConnection> connection_;
    const Config config_;
    std::optional<Executor> executor_;
    std::optional<TaskGroup> tasks_;  // the rebuild in progress, if any
    bool started_ = false;
    bool listening_ = false;
    bool broken_ = false;      // the stream failed and has not been rebuilt since
    std::uint64_t stops_ = 0;  // how often stop ran: an open that outlives one gives up
    std::uint64_t streamID_ = 0;
    std::shared_ptr<OneShot<std::optional<int>>> opening_;  // the stream being opened

    // Under the lock: the stream, made and released on the executor.
    std::unique_ptr<PulseRecordStream> stream_;

    mutable std::mutex infoMutex_;
    std::optional<double> sampleRate_;
    std::optional<std::string> deviceName_;
    bool voiceProcessingActive_ = false;
};

}  // namespace tessarin
