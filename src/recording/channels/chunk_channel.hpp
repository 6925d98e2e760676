#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "core/async/clock.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "core/audio/chunk_cutter.hpp"
#include "recording/channels/channel_callbacks.hpp"
#include "recording/channels/speaker_channel.hpp"

namespace tessarin {

// The channel used when live transcription is unavailable, and for audio the realtime path handed
// back: cuts the speaker's 24 kHz PCM16 stream into chunks at pauses, wraps each in a WAV file,
// queues it and uploads the queue one chunk at a time; the web server transcribes and stores each
// chunk and answers with the stored segment. The queue is bounded by size and age (the oldest
// chunks are dropped and the user told how much audio was lost); each upload has a time limit and
// up to three attempts.
//
// Confined to its executor, where it posts its callbacks. Its upload worker holds it weakly and
// stops when it is gone.
class ChunkChannel final : public SpeakerChannel, public SharedObject<ChunkChannel> {
  public:
    struct Limits {
        // The bound on the total WAV bytes waiting.
        std::int64_t maxQueuedBytes = 8 * 1024 * 1024;
        // The longest a chunk may wait in the queue.
        Clock::Duration maxQueuedAge = std::chrono::seconds(180);
        // The time limit of one upload attempt, less any wait for a fresh access token.
        Clock::Duration uploadTimeout = std::chrono::seconds(60);
        // The backoff unit between attempts (×1 after the first, ×2 after the second).
        Clock::Duration retryBase = std::chrono::seconds(2);
        // The monotonic clock behind `now`, queue ages, time limits and backoffs.
        std::shared_ptr<Clock> clock;

        // The live fallback profile.
        explicit Limits(std::shared_ptr<Clock> clock);
        // For replaying held outage audio: the outage buffer's 14 400 000 bytes plus 1 MiB, for an
        // hour.
        static Limits replay(std::shared_ptr<Clock> clock);

        Clock::TimePoint now() const { return clock->now(); }
    };

    // One queued chunk.
    struct Pending {
        std::vector<std::uint8_t> wav;
        std::int64_t seq = 0;
        // Positions on the recording's time line (offset applied).
        std::int64_t startedMs = 0;
        std::int64_t endedMs = 0;
        Clock::TimePoint queuedAt;
    };

    // Told when the upload starts (true) and stops (false) waiting for a fresh access token; that
    // wait does not count against the attempt's time limit.
    using TokenWait = std::function<void(bool waiting)>;
    // Uploads one chunk; the result is the segment the web server stored, if any.
    using Upload = std::function<Awaitable<std::optional<Segment>>(
        std::vector<std::uint8_t> wav, std::int64_t seq, std::int64_t startedMs,
        std::int64_t endedMs, TokenWait tokenWait)>;
    // The sequence number of a chunk starting at this position.
    using SeqFor = std::function<std::int64_t(std::int64_t startedMs)>;

    ChunkChannel(Token, Executor executor, Speaker speaker, std::optional<std::string> language,
                 std::int64_t offsetMs, SeqFor seqFor, Upload upload, ChannelCallbacks callbacks,
                 Limits limits);
    ChunkChannel(const ChunkChannel&) = delete;
    ChunkChannel& operator=(const ChunkChannel&) = delete;

    // Does nothing: a fallback channel can always be started.
    Awaitable<void> start() override;
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override;
    // Queues the last chunk and returns once every queued chunk has been uploaded, given up or
    // dropped.
    Awaitable<void> finish() override;
    // Empties the queue and stops the worker; returns at once.
    Awaitable<void> cancel() override;

    Speaker speaker() const { return speaker_; }
    const std::optional<std::string>& language() const { return language_; }
    const Limits& limits() const { return limits_; }
    std::int64_t queuedBytes() const { return queuedBytes_; }
    std::size_t queuedCount() const { return pending_.size(); }

  private:
    class Worker;

    void enqueue(ChunkCutter::Chunk chunk);
    void trim();

    template <class Callback, class... Args>
    static void report(const Callback& callback, Args&&... args) {
        if (callback) {
            callback(std::forward<Args>(args)...);
        }
    }

    Speaker speaker_;
    std::optional<std::string> language_;
    Upload upload_;
    SeqFor seqFor_;
    std::int64_t offsetMs_;
    // Set by `cancel`: what the callbacks posted and did not yet deliver is dropped.
    std::shared_ptr<bool> cancelled_ = std::make_shared<bool>(false);
    ChannelCallbacks callbacks_;
    Limits limits_;
    ChunkCutter cutter_;
    std::deque<Pending> pending_;
    std::int64_t queuedBytes_ = 0;
    // The upload worker, while there is work.
    TaskGroup worker_;
    bool draining_ = false;
    bool stopped_ = false;
};

}  // namespace tessarin
