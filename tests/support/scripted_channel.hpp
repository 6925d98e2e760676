#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "core/async/one_shot.hpp"
#include "recording/channels/channel_callbacks.hpp"
#include "recording/channels/speaker_channel.hpp"
#include "recording/pipeline/recording_pipeline.hpp"

namespace tessarin::test {

// A speaker channel the test scripts and inspects: it keeps what it was fed and what it was told,
// and its callbacks are there for the test to report through.
class ScriptedChannel final : public SpeakerChannel {
  public:
    enum class Kind { realtime, fallback, replay };

    ScriptedChannel(Kind kind, Speaker speaker, ChannelCallbacks callbacks, std::int64_t offsetMs,
                    ChunkChannel::SeqFor seqFor);

    Awaitable<void> start() override;
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override;
    Awaitable<void> finish() override;
    Awaitable<void> cancel() override;

    // The script.
    std::exception_ptr startFailure;
    // While set and not resumed, start (or finish) waits for it; cancel resumes both.
    std::shared_ptr<OneShot<void>> startGate;
    std::shared_ptr<OneShot<void>> finishGate;
    // Runs when finish begins (report the last transcript, hand back held audio …).
    std::function<void(ScriptedChannel&)> onFinish;

    // What happened.
    const Kind kind;
    const Speaker speaker;
    const std::int64_t offsetMs;
    const ChunkChannel::SeqFor seqFor;
    const ChannelCallbacks callbacks;
    std::vector<std::uint8_t> fed;
    bool started = false;
    bool finished = false;
    bool cancelled = false;
};

// Channel factories for a recording's dependencies that make scripted channels and keep them,
// in the order they were made.
struct ScriptedChannels {
    std::vector<std::shared_ptr<ScriptedChannel>> made;
    // Scripts each channel as it is made.
    std::function<void(ScriptedChannel&)> prepare;

    RecordingPipeline::Dependencies::RealtimeFactory realtime();
    RecordingPipeline::Dependencies::ChunkFactory chunks(ScriptedChannel::Kind kind);

    // The nth channel of that kind and speaker; fails the test when there is none.
    ScriptedChannel& get(ScriptedChannel::Kind kind, Speaker speaker, std::size_t nth = 0) const;
    std::size_t count(ScriptedChannel::Kind kind) const;
};

}  // namespace tessarin::test
