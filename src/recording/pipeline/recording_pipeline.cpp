#include "recording/pipeline/recording_pipeline.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/api/api_error.hpp"
#include "core/async/deadline.hpp"
#include "core/async/steady_clock.hpp"
#include "core/async/with_timeout.hpp"
#include "core/audio/audio_queue.hpp"
#include "core/audio/chunk_cutter.hpp"
#include "core/log/diagnostics.hpp"
#include "core/transcript/transcript_seq.hpp"
#include "platform/linux/mic_capture.hpp"
#include "platform/linux/system_audio_capture.hpp"
#include "recording/capture/capture_error.hpp"
#include "recording/pipeline/capture_inlet.hpp"
#include "recording/pipeline/recording_aborted.hpp"
#include "recording/realtime/transcription_channel.hpp"

namespace tessarin {

namespace {

constexpr std::array<Speaker, 2> bothSpeakers{Speaker::me, Speaker::them};
// Transient failures of the final save are retried this many times.
constexpr int finalRetries = 2;
// How long the live realtime sessions wait for the transcripts still due when they finish.
constexpr Clock::Duration finalWait = std::chrono::seconds(3);

// What a failed save, append or finish ends with when the process must exit first.
class ExitDeadlinePassed : public std::runtime_error {
  public:
    ExitDeadlinePassed() : std::runtime_error("The helper had to exit before Notara answered.") {}
};

std::string sourceOf(Speaker speaker) {
    return speaker == Speaker::me ? "mic" : "system";
}

std::string refusedSegments(std::size_t count) {
    return "Notara refused " + std::to_string(count) + " transcript segment(s)";
}

bool isPermanentRefusal(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const APIError& error) {
        return error.isPermanentRefusal();
    } catch (...) {
        return false;
    }
}

bool isRealtimeUnavailable(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const APIError& error) {
        return error.isRealtimeUnavailable();
    } catch (...) {
        return false;
    }
}

// A callback that runs `action` on the owner while it exists and does nothing once it is gone.
template <class Owner, class Action>
auto whileAlive(std::weak_ptr<Owner> weak, Action action) {
    return [weak = std::move(weak), action = std::move(action)](auto... args) {
        if (const auto owner = weak.lock()) {
            action(*owner, std::move(args)...);
        }
    };
}

// The web-server calls take their client by value, so that the call never outlives what it uses.
Awaitable<TranscriptionToken> fetchToken(APIClient api, std::string meetingID, std::string source,
                                         std::optional<std::string> language) {
    TranscriptionToken token = co_await api.transcriptionToken(
        std::move(meetingID), std::move(source), std::move(language));
    co_return token;
}

Awaitable<std::optional<Segment>> uploadChunk(APIClient api, std::string meetingID, Speaker speaker,
                                              std::optional<std::string> language,
                                              std::vector<std::uint8_t> wav, std::int64_t seq,
                                              std::int64_t startedMs, std::int64_t endedMs,
                                              ChunkChannel::TokenWait tokenWait) {
    std::optional<Segment> segment =
        co_await api.appendAudioChunk(std::move(meetingID), std::move(wav), seq, startedMs, endedMs,
                                      speaker, std::move(language), std::move(tokenWait));
    co_return segment;
}

Awaitable<void> appendBatch(APIClient api, std::string meetingID, std::vector<Segment> batch) {
    co_await api.appendSegments(std::move(meetingID), std::move(batch));
}

Awaitable<void> finishMeetingCall(APIClient api, std::string meetingID) {
    co_await api.finish(std::move(meetingID));
}

// Chunk channels with the limits for audio held during an outage.
RecordingPipeline::Dependencies::ChunkFactory replayChunkChannels(const Executor& executor,
                                                                  std::shared_ptr<Clock> clock) {
    return [executor, clock](Speaker speaker, std::optional<std::string> language,
                             std::int64_t offsetMs, ChunkChannel::SeqFor seqFor,
                             ChunkChannel::Upload upload, ChannelCallbacks callbacks) {
        return ChunkChannel::create(executor, speaker, std::move(language), offsetMs,
                                    std::move(seqFor), std::move(upload), std::move(callbacks),
                                    ChunkChannel::Limits::replay(clock));
    };
}

// Runs a web-server call, bounded by `until` when the process is exiting.
template <class Operation>
Awaitable<void> beforeDeadline(std::optional<Clock::TimePoint> until, std::shared_ptr<Clock> clock,
                               Operation operation) {
    if (!until) {
        co_await operation();
        co_return;
    }
    const Clock::Duration remaining = *until - clock->now();
    co_await withTimeout<ExitDeadlinePassed>(std::move(clock), remaining, std::move(operation));
}

}  // namespace

// The bound of a stop that must end before the process exits: its first half for transcription,
// the rest for saving.
struct RecordingPipeline::StopLimit {
    StopLimit(const Executor& executor, const std::shared_ptr<Clock>& clock, Clock::Duration within)
        : savingEnds(clock->now() + within), transcription(executor, clock) {}

    Clock::TimePoint savingEnds;
    Deadline transcription;
};

RecordingPipeline::Dependencies RecordingPipeline::Dependencies::live(
    const Executor& executor, std::shared_ptr<Clock> clock) {
    Dependencies deps;
    deps.clock = clock;
    deps.makeMic = [](bool voiceProcessing, AudioSource::AudioCallback onAudio,
                      AudioSource::InterruptionCallback onInterrupted) {
        return std::make_unique<MicCapture>(voiceProcessing, std::move(onAudio),
                                            std::move(onInterrupted));
    };
    deps.makeSystem = [](AudioSource::AudioCallback onAudio,
                         AudioSource::InterruptionCallback onInterrupted) {
        return std::make_unique<SystemAudioCapture>(std::move(onAudio), std::move(onInterrupted));
    };
    deps.makeRealtime = [executor, clock](Speaker speaker, std::optional<std::string> language,
                                          TokenFetch fetchToken, ChannelCallbacks callbacks) {
        TranscriptionChannel::Dependencies channel;
        channel.executor = executor;
        channel.clock = clock;
        return TranscriptionChannel::create(std::move(channel), speaker, std::move(language),
                                            std::move(fetchToken), std::move(callbacks), finalWait);
    };
    deps.makeFallback = [executor, clock](Speaker speaker, std::optional<std::string> language,
                                          std::int64_t offsetMs, ChunkChannel::SeqFor seqFor,
                                          ChunkChannel::Upload upload, ChannelCallbacks callbacks) {
        return ChunkChannel::create(executor, speaker, std::move(language), offsetMs,
                                    std::move(seqFor), std::move(upload), std::move(callbacks),
                                    ChunkChannel::Limits(clock));
    };
    return deps;
}

RecordingPipeline::RecordingPipeline(Token, Executor executor, std::string meetingID, APIClient api,
                                     std::optional<std::string> language, RecordingOptions options,
                                     Dependencies dependencies, EventHandler onEvent)
    : executor_(executor),
      meetingID_(std::move(meetingID)),
      api_(std::move(api)),
      language_(std::move(language)),
      options_(options),
      deps_(std::move(dependencies)),
      onEvent_(std::move(onEvent)),
      tasks_(std::move(executor)) {
    if (!deps_.clock) {
        deps_.clock = std::make_shared<SteadyClock>();
    }
    startedAt_ = deps_.clock->now();
    if (options_.dedupeEcho) {
        echo_.emplace(deps_.echoHoldMs, EchoDedupe::Config{});
    }
    for (const Speaker speaker : bothSpeakers) {
        meters_[speaker] = std::make_shared<LevelMeter>(startedAt_);
    }
}

RecordingPipeline::~RecordingPipeline() {
    // The sources' threads must stop calling into the queues before those are closed.
    for (auto* source : {mic_.get(), system_.get()}) {
        if (source) {
            source->stop();
        }
    }
    for (auto& [speaker, queue] : queues_) {
        queue->close();
    }
}

// ---- start

Awaitable<void> RecordingPipeline::start() {
    const auto self = shared_from_this();
    std::exception_ptr failure;
    try {
        co_await startCapture();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        co_await teardown();
        std::rethrow_exception(failure);
    }
    running_ = true;
    startPeriodicTasks();
}

void RecordingPipeline::abort() {
    aborted_ = true;
}

Awaitable<void> RecordingPipeline::startCapture() {
    const ChannelCallbacks shared = callbacks().postedTo(executor_);
    for (const Speaker speaker : bothSpeakers) {
        channels_[speaker] = deps_.makeRealtime(speaker, language_, tokenFetch(speaker), shared);
    }
    std::exception_ptr failure;
    try {
        co_await startChannels();
    } catch (...) {
        failure = std::current_exception();
    }
    co_await throwIfCancelled();
    if (failure) {
        if (!isRealtimeUnavailable(failure)) {
            std::rethrow_exception(failure);
        }
        for (auto& [speaker, channel] : channels_) {
            co_await channel->cancel();
            channel = makeChannel(deps_.makeFallback, speaker, 0, false, shared);
        }
        co_await startChannels();
        mode_ = RecordingMode::fallback;
        emit(RecordingEvent::Mode{RecordingMode::fallback});
    }
    if (aborted_) {
        throw RecordingAborted();
    }
    startPumps();

    mic_ = deps_.makeMic(false, audioInto(Speaker::me), interruptionsOf(Speaker::me));
    co_await mic_->start();

    failure = nullptr;
    try {
        system_ = deps_.makeSystem(audioInto(Speaker::them), interruptionsOf(Speaker::them));
        co_await system_->start();
    } catch (...) {
        failure = std::current_exception();
    }
    co_await throwIfCancelled();
    if (failure) {
        if (system_) {
            system_->stop();
            system_.reset();
        }
        setCaptureProblem(Speaker::them, "Not hearing the other side: " + describe(failure));
    }
    // A stop that arrived while the sources started: the caller has already been told the
    // recording was cancelled, so it must not begin now.
    if (aborted_) {
        throw RecordingAborted();
    }
}

Awaitable<void> RecordingPipeline::startChannels() {
    // The first failure decides; the other starts are then cancelled and waited for.
    auto outcome = std::make_shared<OneShot<std::exception_ptr>>(executor_);
    auto remaining = std::make_shared<std::size_t>(channels_.size());
    std::vector<Task<>> starts;
    for (auto& [speaker, channel] : channels_) {
        starts.push_back(tasks_.spawn("starting transcription",
                                      [channel = channel, outcome, remaining]() -> Awaitable<void> {
                                          std::exception_ptr failure;
                                          try {
                                              co_await channel->start();
                                          } catch (...) {
                                              failure = std::current_exception();
                                          }
                                          if (failure) {
                                              outcome->resume(failure);
                                          } else if (--*remaining == 0) {
                                              outcome->resume(nullptr);
                                          }
                                          co_await throwIfCancelled();
                                      }));
    }
    std::exception_ptr failure;
    try {
        failure = co_await outcome->wait();
    } catch (...) {
        failure = std::current_exception();
    }
    for (const Task<>& start : starts) {
        if (failure) {
            start.cancel();
        }
        co_await start.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void RecordingPipeline::startPumps() {
    for (const Speaker speaker : bothSpeakers) {
        auto queue = AudioQueue::create(executor_);
        queues_[speaker] = queue;
        pumps_.push_back(tasks_.spawn(speaker == Speaker::me
                                          ? "feeding the microphone to transcription"
                                          : "feeding system audio to transcription",
                                      [queue, channel = channels_[speaker]]() -> Awaitable<void> {
                                          std::vector<std::uint8_t> buffer;
                                          for (;;) {
                                              const bool more = co_await queue->pop(buffer);
                                              if (!more) {
                                                  co_return;
                                              }
                                              // A copy, so that the buffer's storage goes back to
                                              // the queue and the capture thread does not allocate.
                                              std::vector<std::uint8_t> piece(buffer);
                                              co_await channel->feed(std::move(piece));
                                          }
                                      }));
    }
}

AudioSource::AudioCallback RecordingPipeline::audioInto(Speaker speaker) {
    auto inlet = std::make_shared<CaptureInlet>(meters_[speaker], queues_[speaker]);
    return [inlet](std::span<const std::uint8_t> pcm) { inlet->deliver(pcm); };
}

AudioSource::InterruptionCallback RecordingPipeline::interruptionsOf(Speaker speaker) {
    return [weak = weak_from_this(), executor = executor_,
            speaker](std::optional<std::string> message) {
        boost::asio::post(executor, [weak, speaker, message = std::move(message)]() mutable {
            if (const auto self = weak.lock()) {
                self->setCaptureProblem(speaker, std::move(message));
            }
        });
    };
}

void RecordingPipeline::startPeriodicTasks() {
    const std::shared_ptr<Clock> clock = deps_.clock;
    flushTask_ = tasks_.spawn(
        "the periodic save",
        [weak = weak_from_this(), clock, interval = deps_.flushInterval]() -> Awaitable<void> {
            for (;;) {
                co_await clock->sleep(interval);
                const auto self = weak.lock();
                if (!self) {
                    co_return;
                }
                co_await self->flush(false);
            }
        });
    levelTask_ = tasks_.spawn(
        "the level meter",
        [weak = weak_from_this(), clock, interval = deps_.levelInterval]() -> Awaitable<void> {
            for (;;) {
                co_await clock->sleep(interval);
                const auto self = weak.lock();
                if (!self) {
                    co_return;
                }
                self->tickLevels();
            }
        });
}

// ---- what the channels report

ChannelCallbacks RecordingPipeline::callbacks() {
    const std::weak_ptr<RecordingPipeline> weak = weak_from_this();
    ChannelCallbacks callbacks;
    callbacks.segment = whileAlive(
        weak, [](RecordingPipeline& self, Speaker speaker, std::int64_t t0, std::int64_t t1,
                 std::string text) { self.segmentArrived(speaker, t0, t1, std::move(text)); });
    callbacks.stored = whileAlive(
        weak, [](RecordingPipeline& self, Segment segment) { self.stored(std::move(segment)); });
    callbacks.delta = whileAlive(
        weak, [](RecordingPipeline& self, Speaker speaker, std::string text, std::string itemID) {
            self.emit(RecordingEvent::Delta{speaker, std::move(text), std::move(itemID)});
        });
    callbacks.problem = whileAlive(
        weak, [](RecordingPipeline& self, Speaker speaker, std::optional<std::string> message) {
            self.problemReported(speaker, std::move(message));
        });
    callbacks.backlog =
        whileAlive(weak, [](RecordingPipeline& self, Speaker speaker, std::string message) {
            self.emit(RecordingEvent::FallbackBacklog{speaker, std::move(message)});
        });
    callbacks.catchUp = whileAlive(
        weak, [](RecordingPipeline& self, Speaker speaker, std::vector<std::uint8_t> pcm,
                 std::int64_t startMs) { self.replay(speaker, std::move(pcm), startMs); });
    return callbacks;
}

ChannelCallbacks RecordingPipeline::replayCallbacks(Speaker speaker) {
    const std::weak_ptr<RecordingPipeline> weak = weak_from_this();
    ChannelCallbacks callbacks = this->callbacks();
    // What a replay stores was transcribed from audio the other side's echo may match.
    callbacks.stored = whileAlive(weak, [](RecordingPipeline& self, Segment segment) {
        if (segment.speaker == Speaker::them && self.echo_) {
            self.echo_->noteThem(
                {segment.speaker, segment.startedMs, segment.endedMs, segment.text});
        }
        self.stored(std::move(segment));
    });
    callbacks.problem = whileAlive(
        weak, [speaker](RecordingPipeline& self, Speaker, std::optional<std::string> message) {
            if (message) {
                ++self.replayFailures_;
                self.emit(RecordingEvent::CatchUpProblem{speaker, std::move(*message)});
            }
        });
    return callbacks;
}

RecordingPipeline::Dependencies::TokenFetch RecordingPipeline::tokenFetch(Speaker speaker) const {
    return [api = api_, meetingID = meetingID_, source = sourceOf(speaker), language = language_] {
        return fetchToken(api, meetingID, source, language);
    };
}

ChunkChannel::Upload RecordingPipeline::upload(Speaker speaker) const {
    return [api = api_, meetingID = meetingID_, speaker, language = language_](
               std::vector<std::uint8_t> wav, std::int64_t seq, std::int64_t startedMs,
               std::int64_t endedMs, ChunkChannel::TokenWait tokenWait) {
        return uploadChunk(api, meetingID, speaker, language, std::move(wav), seq, startedMs,
                           endedMs, std::move(tokenWait));
    };
}

std::shared_ptr<SpeakerChannel> RecordingPipeline::makeChannel(
    const Dependencies::ChunkFactory& factory, Speaker speaker, std::int64_t offsetMs, bool replay,
    ChannelCallbacks channelCallbacks) {
    auto seqFor = [speaker, replay](std::int64_t startedMs) {
        return TranscriptSeq::make(startedMs, speaker, replay);
    };
    return factory(speaker, language_, offsetMs, std::move(seqFor), upload(speaker),
                   std::move(channelCallbacks));
}

void RecordingPipeline::segmentArrived(Speaker speaker, std::int64_t t0, std::int64_t t1,
                                       std::string text) {
    EchoFilter::Pending pending{speaker, t0, t1, std::move(text)};
    if (!echo_) {
        queue({std::move(pending)});
        return;
    }
    // Held microphone segments leave only through releaseEcho, which knows when they can be
    // judged.
    queue(echo_->accept(std::move(pending), nowMs()));
    releaseEcho();
}

void RecordingPipeline::stored(Segment segment) {
    ++saved_;
    emit(RecordingEvent::TranscriptSegment{std::move(segment)});
}

void RecordingPipeline::problemReported(Speaker speaker, std::optional<std::string> message) {
    if (message) {
        down_.insert(speaker);
    } else {
        down_.erase(speaker);
    }
    emit(RecordingEvent::TranscriptionProblem{speaker, std::move(message)});
}

void RecordingPipeline::queue(std::vector<EchoFilter::Pending> pendings) {
    for (EchoFilter::Pending& pending : pendings) {
        if (auto segment =
                batcher_.add(pending.speaker, pending.startedMs, pending.endedMs, pending.text)) {
            emit(RecordingEvent::TranscriptSegment{std::move(*segment)});
        }
    }
}

void RecordingPipeline::releaseEcho() {
    // While the other side is down or catching up, the segments an echo would repeat are still
    // to come: the user's held segments wait for them.
    const auto replays = replaying_.find(Speaker::them);
    const bool themPending =
        down_.contains(Speaker::them) || (replays != replaying_.end() && replays->second > 0);
    if (echo_ && echo_->heldCount() > 0 && !themPending) {
        queue(echo_->release(nowMs()));
    }
}

// ---- replay of outage audio

void RecordingPipeline::replay(Speaker speaker, std::vector<std::uint8_t> pcm,
                               std::int64_t startMs) {
    if (!running_ && !isStopping_) {
        Diagnostics::log("audio held during an outage arrived after the recording ended (" +
                         std::to_string(pcm.size() / PCM16::bytesPerMs) + " ms): not transcribed");
        return;
    }
    // Said so that a gap in the side's transcript can be told from lost audio. Judged as the
    // replay's chunk uploads judge it: what they leave out is silence.
    for (const ChunkCutter::Stretch& silence : ChunkCutter::silenceLeftOut(pcm)) {
        Diagnostics::log("caught up " + std::string(speakerName(speaker)) + " " +
                         std::to_string(startMs + silence.startedMs) + ".." +
                         std::to_string(startMs + silence.endedMs) + " ms: no speech");
    }
    const bool wasCatchingUp = isCatchingUp();
    ++replaying_[speaker];
    if (!wasCatchingUp) {
        emit(RecordingEvent::CatchingUp{true});
    }
    const Dependencies::ChunkFactory factory =
        deps_.makeReplay ? deps_.makeReplay : replayChunkChannels(executor_, deps_.clock);
    auto channel =
        makeChannel(factory, speaker, startMs, true, replayCallbacks(speaker).postedTo(executor_));
    replayChannels_.push_back(channel);
    replayTasks_.push_back(tasks_.spawn(
        "replaying audio held during an outage",
        [weak = weak_from_this(), executor = executor_, channel, speaker,
         pcm = std::move(pcm)]() mutable -> Awaitable<void> {
            std::exception_ptr failure;
            try {
                co_await channel->start();
                co_await channel->feed(std::move(pcm));
                co_await channel->finish();
            } catch (...) {
                failure = std::current_exception();
            }
            co_await throwIfCancelled();
            // The channel's last reports were posted before its finish returned: they land first,
            // so the replayed words are counted and noted before held segments are judged.
            co_await boost::asio::post(executor, boost::asio::use_awaitable_t<Executor>());
            if (const auto self = weak.lock()) {
                if (failure) {
                    ++self->replayFailures_;
                    self->emit(RecordingEvent::CatchUpProblem{speaker, describe(failure)});
                }
                self->replayDone(speaker);
            }
        }));
}

void RecordingPipeline::replayDone(Speaker speaker) {
    --replaying_[speaker];
    if (!isCatchingUp()) {
        emit(RecordingEvent::CatchingUp{false});
    }
    releaseEcho();
}

bool RecordingPipeline::isCatchingUp() const {
    return std::any_of(replaying_.begin(), replaying_.end(),
                       [](const auto& entry) { return entry.second > 0; });
}

// ---- levels and health

void RecordingPipeline::setCaptureProblem(Speaker speaker, std::optional<std::string> message) {
    if (message) {
        captureProblems_[speaker] = *message;
    } else {
        captureProblems_.erase(speaker);
    }
    emit(RecordingEvent::CaptureProblem{speaker, std::move(message)});
    updateHealth();
}

void RecordingPipeline::tickLevels() {
    if (!running_) {
        return;
    }
    releaseEcho();
    const double mic = meters_[Speaker::me]->take();
    const double system = meters_[Speaker::them]->take();
    emit(RecordingEvent::Levels{mic, system});
    updateHealth();
}

SourceHealth RecordingPipeline::healthOf(Speaker speaker) {
    if (captureProblems_.contains(speaker)) {
        return SourceHealth::error;
    }
    if (!running_) {
        return SourceHealth::ok;
    }
    const Clock::Duration silent = meters_[speaker]->silentFor(deps_.clock->now());
    return silent >= deps_.silenceAfter ? SourceHealth::silent : SourceHealth::ok;
}

void RecordingPipeline::updateHealth() {
    const RecordingEvent::Health now{healthOf(Speaker::me), healthOf(Speaker::them)};
    if (now != health_) {
        health_ = now;
        emit(now);
    }
}

// ---- saving

Awaitable<std::optional<std::string>> RecordingPipeline::flush(bool final) {
    const auto self = shared_from_this();
    if (!final) {
        releaseEcho();
        if (activeFlush_) {
            co_return std::nullopt;
        }
    } else if (const auto running = activeFlush_) {
        co_await running->wait();
    }
    auto outcome = std::make_shared<OneShot<std::optional<std::string>>>(executor_);
    activeFlush_ = outcome;
    // A task of its own, so that a save under way is not cut off when the periodic task that
    // started it is cancelled: the final save waits for it instead.
    tasks_.spawn("saving the transcript",
                 [weak = weak_from_this(), outcome, final]() -> Awaitable<void> {
                     // However the save ends, whoever waits for it goes on.
                     struct Resolve {
                         std::shared_ptr<OneShot<std::optional<std::string>>> outcome;
                         ~Resolve() { outcome->resume(std::nullopt); }
                     } resolve{outcome};
                     const auto self = weak.lock();
                     if (!self) {
                         co_return;
                     }
                     std::optional<std::string> problem = co_await self->drain(final);
                     outcome->resume(std::move(problem));
                 });
    std::optional<std::string> problem = co_await outcome->wait();
    if (activeFlush_ == outcome) {
        activeFlush_.reset();
    }
    co_return problem;
}

Awaitable<std::optional<std::string>> RecordingPipeline::drain(bool final) {
    int attempts = 0;
    while (!batcher_.isEmpty()) {
        std::vector<Segment> batch = batcher_.takeBatch(SegmentBatcher::maxBatch);
        std::exception_ptr failure;
        try {
            auto append = [api = api_, meetingID = meetingID_, batch] {
                return appendBatch(api, meetingID, batch);
            };
            std::shared_ptr<Clock> clock = deps_.clock;
            std::optional<Clock::TimePoint> until = savingEnds();
            co_await beforeDeadline(until, std::move(clock), std::move(append));
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            saved_ += static_cast<std::int64_t>(batch.size());
            continue;
        }
        if (isPermanentRefusal(failure)) {
            const std::size_t count = batch.size();
            refused_.insert(refused_.end(), batch.begin(), batch.end());
            emit(RecordingEvent::SaveProblem{refusedSegments(count) + ": " + describe(failure)});
            continue;
        }
        batcher_.restore(batch);
        co_await throwIfCancelled();
        std::string message = "Some of the transcript couldn't be saved: " + describe(failure);
        const auto until = savingEnds();
        const bool retryFits = !until || deps_.clock->now() + deps_.finalRetryDelay < *until;
        if (final && attempts < finalRetries && retryFits) {
            co_await deps_.clock->sleep(deps_.finalRetryDelay);
            ++attempts;
            continue;
        }
        emit(RecordingEvent::SaveProblem{message});
        co_return message;
    }
    co_return std::nullopt;
}

// ---- stopping

Awaitable<RecordingPipeline::StopResult> RecordingPipeline::stop(
    std::optional<Clock::Duration> within) {
    const auto self = shared_from_this();
    if (!running_) {
        co_return StopResult{saved_, std::nullopt, true, {}};
    }
    running_ = false;
    isStopping_ = true;
    if (within) {
        stopLimit_ = std::make_unique<StopLimit>(executor_, deps_.clock, *within);
        stopLimit_->transcription.arm(*within / 2, [this] {
            replayCutShort_ = replayCutShort_ || isCatchingUp();
            std::vector<std::shared_ptr<SpeakerChannel>> all = replayChannels_;
            for (auto& [speaker, channel] : channels_) {
                all.push_back(channel);
            }
            cancelChannels(std::move(all));
        });
    }
    flushTask_.cancel();
    levelTask_.cancel();
    for (auto* source : {mic_.get(), system_.get()}) {
        if (source) {
            source->stop();
        }
    }
    // Every buffer captured reaches its channel before the channels finish.
    for (auto& [speaker, queue] : queues_) {
        queue->close();
    }
    for (const Task<>& pump : pumps_) {
        co_await pump.join();
    }
    co_await finishChannels();
    co_await deps_.clock->sleep(deps_.settle);
    co_await awaitReplays();
    if (stopLimit_) {
        stopLimit_->transcription.disarm();
    }
    if (echo_) {
        queue(echo_->releaseAll());
    }

    StopResult result;
    result.problem = co_await flush(true);
    if (!result.problem) {
        result.problem = replayProblem();
    }
    result.unsaved = refused_;
    result.unsaved.insert(result.unsaved.end(), batcher_.pending().begin(),
                          batcher_.pending().end());
    std::stable_sort(result.unsaved.begin(), result.unsaved.end(),
                     [](const Segment& a, const Segment& b) { return a.seq < b.seq; });
    if (!result.problem && !refused_.empty()) {
        result.problem = refusedSegments(refused_.size()) + ".";
    }
    if (result.unsaved.empty()) {
        co_await finishMeeting(result);
    } else {
        result.finished = false;
    }
    co_await teardown();
    isStopping_ = false;
    stopLimit_.reset();
    result.segments = saved_;
    co_return result;
}

Awaitable<void> RecordingPipeline::finishChannels() {
    std::vector<Task<>> finishing;
    for (auto& [speaker, channel] : channels_) {
        finishing.push_back(
            tasks_.spawn("finishing transcription",
                         [channel = channel]() -> Awaitable<void> { co_await channel->finish(); }));
    }
    for (const Task<>& task : finishing) {
        co_await task.join();
    }
}

Awaitable<void> RecordingPipeline::awaitReplays() {
    Deadline budget(executor_, deps_.clock);
    budget.arm(deps_.replayStopBudget, [this] {
        replayCutShort_ = true;
        cancelChannels(replayChannels_);
    });
    // Replays that start meanwhile (audio handed back while finishing) are waited for too.
    for (std::size_t i = 0; i < replayTasks_.size(); ++i) {
        const Task<> replay = replayTasks_[i];
        co_await replay.join();
    }
}

std::optional<std::string> RecordingPipeline::replayProblem() const {
    if (replayCutShort_) {
        const auto minutes =
            std::chrono::duration_cast<std::chrono::seconds>(deps_.replayStopBudget).count() / 60;
        return "The recording stopped before all the audio from a reconnect was transcribed (it "
               "took over " +
               std::to_string(minutes) + " minutes).";
    }
    if (replayFailures_ > 0) {
        return "Some audio from a reconnect couldn't be transcribed (" +
               std::to_string(replayFailures_) + " stretch" + (replayFailures_ == 1 ? "" : "es") +
               ").";
    }
    return std::nullopt;
}

Awaitable<void> RecordingPipeline::finishMeeting(StopResult& result) {
    std::exception_ptr failure;
    try {
        auto finish = [api = api_, meetingID = meetingID_] {
            return finishMeetingCall(api, meetingID);
        };
        std::shared_ptr<Clock> clock = deps_.clock;
        std::optional<Clock::TimePoint> until = savingEnds();
        co_await beforeDeadline(until, std::move(clock), std::move(finish));
    } catch (...) {
        failure = std::current_exception();
    }
    co_await throwIfCancelled();
    result.finished = !failure;
    if (failure) {
        result.problem = "The recording stopped, but Notara couldn't be told to write notes: " +
                         describe(failure);
    }
}

Awaitable<void> RecordingPipeline::cancel() {
    const auto self = shared_from_this();
    running_ = false;
    co_await teardown();
}

Awaitable<void> RecordingPipeline::teardown() {
    flushTask_.cancel();
    levelTask_.cancel();
    flushTask_ = {};
    levelTask_ = {};
    for (auto* source : {&mic_, &system_}) {
        if (*source) {
            (*source)->stop();
            source->reset();
        }
    }
    for (auto& [speaker, queue] : queues_) {
        queue->close();
    }
    queues_.clear();
    std::vector<std::shared_ptr<SpeakerChannel>> all = replayChannels_;
    for (auto& [speaker, channel] : channels_) {
        all.push_back(channel);
    }
    for (const auto& channel : all) {
        co_await channel->cancel();
    }
    channels_.clear();
    replayChannels_.clear();
    tasks_.cancelAll();
    pumps_.clear();
    replayTasks_.clear();
}

void RecordingPipeline::cancelChannels(std::vector<std::shared_ptr<SpeakerChannel>> channels) {
    tasks_.spawn("cancelling transcription", [channels = std::move(channels)]() -> Awaitable<void> {
        for (const auto& channel : channels) {
            co_await channel->cancel();
        }
    });
}

std::optional<Clock::TimePoint> RecordingPipeline::savingEnds() const {
    if (stopLimit_) {
        return stopLimit_->savingEnds;
    }
    return std::nullopt;
}

RecordingPipeline::EchoCounts RecordingPipeline::echoCounts() const {
    return echo_ ? EchoCounts{echo_->dropped(), echo_->trimmed()} : EchoCounts{};
}

std::int64_t RecordingPipeline::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deps_.clock->now() - startedAt_)
        .count();
}

void RecordingPipeline::emit(RecordingEvent::Value event) {
    if (onEvent_) {
        onEvent_(RecordingEvent{std::move(event)});
    }
}

}  // namespace tessarin
