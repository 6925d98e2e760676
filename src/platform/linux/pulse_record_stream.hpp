#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <pulse/context.h>
#include <pulse/stream.h>

#include "core/audio/audio_converter24k.hpp"
#include "recording/capture/audio_source.hpp"

namespace tessarin {

// One record stream of float samples from a source, in the source's own rate and channels, turned
// into 24 kHz mono PCM16 on the loop's thread: mixed down, gathered into blocks of 100 ms,
// resampled and handed to `onAudio`, with buffers that are reused, so a stream that records
// allocates nothing.
//
// Made and destroyed under the lock; its callbacks run on the loop's thread.
class PulseRecordStream {
  public:
    struct Settings {
        std::string name;         // what the server shows for the stream
        std::string device;       // the source to record
        pa_sample_spec format{};  // the source's rate and channels (recorded as float32)
        pa_channel_map channels{};
        bool echoCancellation = false;  // ask the server for its echo-cancel filter
        int channelsUsed = 1;           // how many leading channels the mono mix averages
    };
    // The stream is recording (nothing) or has failed (the server's error code), once each; a
    // failure may follow recording. `moved`: the server moved it to another source.
    struct Events {
        std::function<void(std::optional<int> error)> stateChanged;
        std::function<void()> moved;
    };

    // Throws std::runtime_error with the server's error code in `error` when the stream can't be
    // made or connected.
    PulseRecordStream(pa_context* context, const Settings& settings,
                      const AudioSource::AudioCallback& onAudio, Events events);
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Under the lock, once recording: what the server gave.
    pa_sample_spec format() const;
    std::string deviceName() const;

    // The server's error code behind a failed construction.
    struct Failure : std::runtime_error {
        explicit Failure(int code);
        int code;
    };

  private:
    static void stateCallback(pa_stream* stream, void* self);
    static void readCallback(pa_stream* stream, std::size_t bytes, void* self);
    static void movedCallback(pa_stream* stream, void* self);
    void readAvailable();
    void deliver(const float* samples, std::size_t count);

    pa_stream* stream_ = nullptr;
    const AudioSource::AudioCallback& onAudio_;
    Events events_;
    bool ended_ = false;  // reported failure: nothing more to say
    int channels_;
    int channelsUsed_;
    AudioConverter24k converter_;
    std::size_t blockFrames_ = 0;
    std::vector<float> mixed_;  // one piece from the server, in mono
    std::vector<float> block_;  // mono pieces gathered until a block is complete
    std::vector<std::uint8_t> pcm_;
};

}  // namespace tessarin
