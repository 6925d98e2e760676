#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/api/api_client.hpp"
#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "core/api/transcription_token.hpp"
#include "core/async/clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "core/transcript/echo_filter.hpp"
#include "core/transcript/segment_batcher.hpp"
#include "recording/capture/audio_source.hpp"
#include "recording/channels/channel_callbacks.hpp"
#include "recording/channels/chunk_channel.hpp"
#include "recording/channels/speaker_channel.hpp"
#include "recording/pipeline/level_meter.hpp"
#include "recording/pipeline/recording_event.hpp"
#include "recording/pipeline/recording_mode.hpp"
#include "recording/pipeline/recording_options.hpp"

namespace tessarin {

class AudioQueue;

// One recording from start to stop: the two capture sources (the microphone for `me`, system audio
// for `them`), one transcription channel per speaker fed from that speaker's audio queue, the echo
// filter that holds the user's segments back, the batcher that numbers what is kept, the periodic
// saving and level metering, the replay of audio a realtime channel held during an outage, and the
// ordered stop that saves everything and finishes the meeting, handing back what could not be
// saved.
//
// Confined to the main executor: every callback of a channel or a source reaches it there.
// Capture threads touch only the level meters and the audio queues. Its background tasks hold it
// weakly and end with it.
class RecordingPipeline : public SharedObject<RecordingPipeline> {
  public:
    // Factories and timings; every field can be replaced, so a recording can run against scripted
    // sources and channels and a manual clock.
    struct Dependencies {
        using MicFactory = std::function<std::unique_ptr<AudioSource>(
            bool voiceProcessing, AudioSource::AudioCallback onAudio,
            AudioSource::InterruptionCallback onInterrupted)>;
        using SystemFactory = std::function<std::unique_ptr<AudioSource>(
            AudioSource::AudioCallback onAudio, AudioSource::InterruptionCallback onInterrupted)>;
        using TokenFetch = std::function<Awaitable<TranscriptionToken>()>;
        using RealtimeFactory = std::function<std::shared_ptr<SpeakerChannel>(
            Speaker speaker, std::optional<std::string> language, TokenFetch fetchToken,
            ChannelCallbacks callbacks)>;
        using ChunkFactory = std::function<std::shared_ptr<SpeakerChannel>(
            Speaker speaker, std::optional<std::string> language, std::int64_t offsetMs,
            ChunkChannel::SeqFor seqFor, ChunkChannel::Upload upload, ChannelCallbacks callbacks)>;

        MicFactory makeMic;
        SystemFactory makeSystem;
        RealtimeFactory makeRealtime;
        ChunkFactory makeFallback;
        // Empty: replays run on chunk channels with the replay limits.
        ChunkFactory makeReplay;

        Clock::Duration flushInterval = std::chrono::seconds(10);
        // How long a stop waits for late callbacks after the channels finished.
        Clock::Duration settle = std::chrono::milliseconds(300);
        Clock::Duration finalRetryDelay = std::chrono::seconds(2);
        // A side without signal for this long is reported silent.
        Clock::Duration silenceAfter = std::chrono::seconds(5);
        Clock::Duration levelInterval = std::chrono::milliseconds(100);
        std::int64_t echoHoldMs = EchoFilter::defaultHoldMs;
        // How long a stop waits for replays of outage audio before cutting them short.
        Clock::Duration replayStopBudget = std::chrono::seconds(300);
        // The monotonic clock of every wait and of the segments' time base.
        std::shared_ptr<Clock> clock;

        // Production: realtime and chunk channels on `executor`. The capture factories fail with a
        // CaptureError until the platform's sources are wired in.
        static Dependencies live(const Executor& executor, std::shared_ptr<Clock> clock);
    };

    struct StopResult {
        // Segments the web server accepted during the whole recording.
        std::int64_t segments = 0;
        std::optional<std::string> problem;
        // The web server was told to finish the meeting.
        bool finished = true;
        // Segments that were not saved, by ascending seq.
        std::vector<Segment> unsaved;

        bool operator==(const StopResult&) const = default;
    };

    struct EchoCounts {
        std::int64_t dropped = 0;
        std::int64_t trimmed = 0;
        bool operator==(const EchoCounts&) const = default;
    };

    using EventHandler = std::function<void(const RecordingEvent&)>;

    RecordingPipeline(Token, Executor executor, std::string meetingID, APIClient api,
                      std::optional<std::string> language, RecordingOptions options,
                      Dependencies dependencies, EventHandler onEvent);
    RecordingPipeline(const RecordingPipeline&) = delete;
    RecordingPipeline& operator=(const RecordingPipeline&) = delete;
    ~RecordingPipeline();

    // Starts the channels (falling back to uploads when realtime is unavailable), then capture and
    // the periodic tasks. A failed start leaves everything torn down.
    Awaitable<void> start();
    // Makes a start in progress give up with RecordingAborted.
    void abort();
    // Stops in order: capture, the last audio into the channels, their last transcripts, replays
    // within their budget, every held segment, the final save with retries, and the meeting's
    // finish when nothing is left unsaved. `within` bounds the whole stop (the process exit): half
    // of it for transcription, the rest for saving; what is not saved by then is handed back.
    Awaitable<StopResult> stop(std::optional<Clock::Duration> within = std::nullopt);
    // Stops at once: no saving, no finish, no result.
    Awaitable<void> cancel();
    // Appends what is queued to the meeting; the problem, if saving failed. A periodic flush
    // makes one attempt and never waits for a save already running; a final one waits for it and
    // retries transient failures twice.
    Awaitable<std::optional<std::string>> flush(bool final);

    bool isRunning() const { return running_; }
    RecordingMode mode() const { return mode_; }
    RecordingEvent::Health health() const { return health_; }
    const std::string& meetingID() const { return meetingID_; }
    const std::optional<std::string>& language() const { return language_; }
    const RecordingOptions& options() const { return options_; }
    EchoCounts echoCounts() const;
    // Segments the web server has accepted so far.
    std::int64_t saved() const { return saved_; }

  private:
    struct StopLimit;

    // The callbacks every channel gets, and those of a replay channel (not yet posted).
    ChannelCallbacks callbacks();
    ChannelCallbacks replayCallbacks(Speaker speaker);
    Dependencies::TokenFetch tokenFetch(Speaker speaker) const;
    ChunkChannel::Upload upload(Speaker speaker) const;
    std::shared_ptr<SpeakerChannel> makeChannel(const Dependencies::ChunkFactory& factory,
                                                Speaker speaker, std::int64_t offsetMs, bool replay,
                                                ChannelCallbacks channelCallbacks);

    Awaitable<void> startCapture();
    Awaitable<void> startChannels();
    void startPumps();
    AudioSource::AudioCallback audioInto(Speaker speaker);
    AudioSource::InterruptionCallback interruptionsOf(Speaker speaker);
    void startPeriodicTasks();

    void segmentArrived(Speaker speaker, std::int64_t t0, std::int64_t t1, std::string text);
    void stored(Segment segment);
    void problemReported(Speaker speaker, std::optional<std::string> message);
    void queue(std::vector<EchoFilter::Pending> pendings);
    void releaseEcho();
    void replay(Speaker speaker, std::vector<std::uint8_t> pcm, std::int64_t startMs);
    void replayDone(Speaker speaker);
    bool isCatchingUp() const;

    void setCaptureProblem(Speaker speaker, std::optional<std::string> message);
    void tickLevels();
    SourceHealth healthOf(Speaker speaker);
    void updateHealth();

    Awaitable<std::optional<std::string>> drain(bool final);
    Awaitable<void> finishChannels();
    Awaitable<void> awaitReplays();
    std::optional<std::string> replayProblem() const;
    Awaitable<void> finishMeeting(StopResult& result);
    Awaitable<void> teardown();
    void cancelChannels(std::vector<std::shared_ptr<SpeakerChannel>> channels);

    // When an exiting stop must be done saving.
    std::optional<Clock::TimePoint> savingEnds() const;
    std::int64_t nowMs() const;
    void emit(RecordingEvent::Value event);

    Executor executor_;
    std::string meetingID_;
    APIClient api_;
    std::optional<std::string> language_;
    RecordingOptions options_;
    Dependencies deps_;
    EventHandler onEvent_;
    Clock::TimePoint startedAt_;

    RecordingMode mode_ = RecordingMode::realtime;
    RecordingEvent::Health health_;
    std::unique_ptr<AudioSource> mic_;
    std::unique_ptr<AudioSource> system_;
    std::map<Speaker, std::shared_ptr<SpeakerChannel>> channels_;
    std::map<Speaker, std::shared_ptr<AudioQueue>> queues_;
    std::vector<Task<>> pumps_;
    SegmentBatcher batcher_;
    std::vector<Segment> refused_;
    std::optional<EchoFilter> echo_;
    std::set<Speaker> down_;
    std::map<Speaker, int> replaying_;
    std::vector<Task<>> replayTasks_;
    std::vector<std::shared_ptr<SpeakerChannel>> replayChannels_;
    int replayFailures_ = 0;
    bool isStopping_ = false;
    bool replayCutShort_ = false;
    Task<> flushTask_;
    Task<> levelTask_;
    // The save in progress, resumed with its problem when it ends.
    std::shared_ptr<OneShot<std::optional<std::string>>> activeFlush_;
    std::unique_ptr<StopLimit> stopLimit_;
    bool aborted_ = false;
    std::int64_t saved_ = 0;
    std::map<Speaker, std::string> captureProblems_;
    std::map<Speaker, std::shared_ptr<LevelMeter>> meters_;
    bool running_ = false;
    TaskGroup tasks_;
};

}  // namespace tessarin
