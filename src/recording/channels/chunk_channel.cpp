#include "recording/channels/chunk_channel.hpp"

#include <exception>
#include <string>
#include <utility>

#include "core/api/api_error.hpp"
#include "core/api/auth_error.hpp"
#include "core/async/with_timeout.hpp"
#include "core/audio/outage_buffer.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"
#include "recording/channels/pausable_clock.hpp"
#include "recording/channels/upload_timed_out.hpp"

namespace tessarin {

namespace {

constexpr int maxAttempts = 3;

// Whole seconds, halves away from zero.
std::int64_t roundedSeconds(std::int64_t ms) {
    return ms >= 0 ? (ms + 500) / 1000 : -((-ms + 500) / 1000);
}

struct FailureVerdict {
    bool retry;
    std::string description;
};

// A refusal the server will repeat (a 4xx other than 429, or any other API error) is given up at
// once, and so is being signed out: the token broker has already waited for the user. Time-outs,
// 429, 5xx and network failures may pass.
FailureVerdict judgeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const APIError& error) {
        const std::optional<int> status = error.status();
        const bool transient = error.kind() == APIError::Kind::server && status &&
                               !(*status >= 400 && *status <= 499 && *status != 429);
        return {transient, error.errorDescription()};
    } catch (const AuthError& error) {
        return {false, error.what()};
    } catch (const std::exception& error) {
        return {true, error.what()};
    } catch (...) {
        return {true, "An unknown error occurred."};
    }
}

}  // namespace

// The upload loop. It holds the channel weakly and re-checks it after every wait, so a channel
// that is dropped or cancelled mid-upload stops the loop at its next step; the task's own
// cancellation ends it at the wait it is in.
class ChunkChannel::Worker {
  public:
    static Awaitable<void> drain(std::weak_ptr<ChunkChannel> weak) {
        // However the loop ends, a later enqueue starts a new worker.
        struct Drained {
            std::weak_ptr<ChunkChannel> weak;
            ~Drained() {
                if (const auto self = weak.lock()) {
                    self->draining_ = false;
                }
            }
        } drained{weak};
        for (;;) {
            Pending next;
            {
                const auto self = weak.lock();
                if (!self || *self->cancelled_) {
                    co_return;
                }
                self->trim();
                if (self->pending_.empty()) {
                    co_return;
                }
                next = std::move(self->pending_.front());
                self->pending_.pop_front();
                self->queuedBytes_ -= static_cast<std::int64_t>(next.wav.size());
            }
            co_await send(weak, std::move(next));
        }
    }

  private:
    // The channel, while it still wants this chunk uploaded and reported.
    static std::shared_ptr<ChunkChannel> wanted(const std::weak_ptr<ChunkChannel>& weak) {
        auto self = weak.lock();
        return self && !*self->cancelled_ ? self : nullptr;
    }

    // One attempt under the time limit. The limit's clock stands still while the upload waits
    // for a fresh access token.
    static Awaitable<std::optional<Segment>> attemptUpload(const Upload& upload,
                                                           const Limits& limits,
                                                           const Pending& chunk) {
        auto clock = std::make_shared<PausableClock>(limits.clock);
        TokenWait tokenWait = [clock](bool waiting) { waiting ? clock->pause() : clock->resume(); };
        // Owns its copy of the chunk: a timed-out attempt may outlive this call.
        auto operation = [upload, tokenWait, wav = chunk.wav, seq = chunk.seq,
                          startedMs = chunk.startedMs, endedMs = chunk.endedMs]() mutable {
            return upload(std::move(wav), seq, startedMs, endedMs, tokenWait);
        };
        std::optional<Segment> segment =
            co_await withTimeout<UploadTimedOut>(clock, limits.uploadTimeout, std::move(operation));
        co_return segment;
    }

    // Keep co_await out of conditions and away from temporaries that own memory: g++ 12 can
    // destroy such temporaries twice inside coroutines.
    static Awaitable<void> send(std::weak_ptr<ChunkChannel> weak, Pending chunk) {
        for (int attempt = 1;; ++attempt) {
            Upload upload;
            Limits limits{nullptr};
            {
                const auto self = wanted(weak);
                if (!self) {
                    co_return;
                }
                upload = self->upload_;
                limits = self->limits_;
            }
            std::optional<Segment> segment;
            std::exception_ptr failure;
            try {
                std::optional<Segment> uploaded = co_await attemptUpload(upload, limits, chunk);
                segment = std::move(uploaded);
            } catch (...) {
                failure = std::current_exception();
            }
            co_await throwIfCancelled();

            FailureVerdict verdict{false, {}};
            {
                const auto self = wanted(weak);
                if (!self) {
                    co_return;
                }
                if (!failure) {
                    if (segment) {
                        report(self->callbacks_.stored, std::move(*segment));
                    }
                    report(self->callbacks_.problem, self->speaker_, std::nullopt);
                    co_return;
                }
                verdict = judgeFailure(failure);
                if (!verdict.retry || attempt == maxAttempts) {
                    report(
                        self->callbacks_.problem, self->speaker_,
                        std::optional<std::string>("A stretch of audio couldn't be transcribed: " +
                                                   verdict.description));
                    co_return;
                }
            }
            co_await limits.clock->sleep(limits.retryBase * attempt);
        }
    }
};

ChunkChannel::Limits::Limits(std::shared_ptr<Clock> clock) : clock(std::move(clock)) {}

ChunkChannel::Limits ChunkChannel::Limits::replay(std::shared_ptr<Clock> clock) {
    Limits limits(std::move(clock));
    limits.maxQueuedBytes = OutageBuffer::defaultMaxBytes + 1024 * 1024;
    limits.maxQueuedAge = std::chrono::seconds(3600);
    return limits;
}

ChunkChannel::ChunkChannel(Token, Executor executor, Speaker speaker,
                           std::optional<std::string> language, std::int64_t offsetMs,
                           SeqFor seqFor, Upload upload, ChannelCallbacks callbacks, Limits limits)
    : speaker_(speaker),
      language_(std::move(language)),
      upload_(std::move(upload)),
      seqFor_(std::move(seqFor)),
      offsetMs_(offsetMs),
      callbacks_(callbacks.postedTo(executor, cancelled_)),
      limits_(std::move(limits)),
      worker_(std::move(executor)) {}

Awaitable<void> ChunkChannel::start() {
    co_return;
}

Awaitable<void> ChunkChannel::feed(std::vector<std::uint8_t> pcm) {
    if (stopped_) {
        co_return;
    }
    for (ChunkCutter::Chunk& chunk : cutter_.feed(pcm)) {
        enqueue(std::move(chunk));
    }
}

Awaitable<void> ChunkChannel::finish() {
    if (stopped_) {
        co_return;
    }
    stopped_ = true;
    const auto self = shared_from_this();
    if (std::optional<ChunkCutter::Chunk> last = cutter_.finish()) {
        enqueue(std::move(*last));
    }
    co_await worker_.joinAll();
}

Awaitable<void> ChunkChannel::cancel() {
    stopped_ = true;
    *cancelled_ = true;
    pending_.clear();
    queuedBytes_ = 0;
    worker_.cancelAll();
    cutter_ = ChunkCutter();
    co_return;
}

void ChunkChannel::enqueue(ChunkCutter::Chunk chunk) {
    Pending pending;
    pending.wav = WAV::encode(chunk.pcm, PCM16::sampleRate, 1);
    pending.startedMs = chunk.startedMs + offsetMs_;
    pending.endedMs = chunk.endedMs + offsetMs_;
    pending.seq = seqFor_(pending.startedMs);
    pending.queuedAt = limits_.now();
    queuedBytes_ += static_cast<std::int64_t>(pending.wav.size());
    pending_.push_back(std::move(pending));
    trim();
    if (!draining_) {
        draining_ = true;
        worker_.spawn("chunk uploads", [weak = weak_from_this()]() -> Awaitable<void> {
            return Worker::drain(weak);
        });
    }
}

void ChunkChannel::trim() {
    const Clock::TimePoint now = limits_.now();
    std::int64_t droppedMs = 0;
    bool dropped = false;
    while (!pending_.empty()) {
        const Pending& oldest = pending_.front();
        // The newest chunk is never dropped for size, only for age.
        const bool overSize = pending_.size() >= 2 && queuedBytes_ > limits_.maxQueuedBytes;
        const bool overAge = now - oldest.queuedAt > limits_.maxQueuedAge;
        if (!overSize && !overAge) {
            break;
        }
        droppedMs += oldest.endedMs - oldest.startedMs;
        dropped = true;
        queuedBytes_ -= static_cast<std::int64_t>(oldest.wav.size());
        pending_.pop_front();
    }
    if (dropped) {
        report(callbacks_.backlog, speaker_,
               "Transcription is falling behind: " + std::to_string(roundedSeconds(droppedMs)) +
                   " s of audio was dropped while uploads were slow");
    }
}

}  // namespace tessarin
