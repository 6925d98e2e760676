#include "recording/channels/chunk_channel.hpp"

#include <exception>
#include <string>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "core/api/api_error.hpp"
#include "core/async/with_timeout.hpp"
#include "core/audio/outage_buffer.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"
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
// once; time-outs, 429, 5xx and network failures may pass.
FailureVerdict judgeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const APIError& error) {
        const std::optional<int> status = error.status();
        const bool transient = error.kind() == APIError::Kind::server && status &&
                               !(*status >= 400 && *status <= 499 && *status != 429);
        return {transient, error.errorDescription()};
    } catch (const std::exception& error) {
        return {true, error.what()};
    } catch (...) {
        return {true, "An unknown error occurred."};
    }
}

Awaitable<bool> taskCancelled() {
    const auto state = co_await boost::asio::this_coro::cancellation_state;
    co_return state.cancelled() != boost::asio::cancellation_type::none;
}

}  // namespace

// The upload loop. It holds the channel weakly and re-checks it after every wait, so a channel
// that is dropped or cancelled mid-upload stops the loop at its next step.
class ChunkChannel::Worker {
  public:
    static Awaitable<void> drain(std::weak_ptr<ChunkChannel> weak) {
        for (;;) {
            Pending next;
            {
                const auto self = weak.lock();
                if (!self || self->cancelled_) {
                    co_return;
                }
                self->trim();
                if (self->pending_.empty()) {
                    self->worker_ = {};  // a later enqueue starts a new worker
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
    static Awaitable<std::shared_ptr<ChunkChannel>> wanted(
        const std::weak_ptr<ChunkChannel>& weak) {
        const bool cancelled = co_await taskCancelled();
        if (cancelled) {
            co_return nullptr;
        }
        auto self = weak.lock();
        co_return self && !self->cancelled_ ? self : nullptr;
    }

    // Keep co_await out of conditions and away from temporaries that own memory: g++ 12 can
    // destroy such temporaries twice inside coroutines.
    static Awaitable<void> send(std::weak_ptr<ChunkChannel> weak, Pending chunk) {
        for (int attempt = 1;; ++attempt) {
            Upload upload;
            Limits limits{nullptr};
            {
                const auto self = co_await wanted(weak);
                if (!self) {
                    co_return;
                }
                upload = self->upload_;
                limits = self->limits_;
            }

            // Owns its copy of the chunk: a timed-out attempt may outlive this call.
            auto attemptUpload = [upload, wav = chunk.wav, seq = chunk.seq,
                                  startedMs = chunk.startedMs, endedMs = chunk.endedMs]() mutable {
                return upload(std::move(wav), seq, startedMs, endedMs);
            };
            std::optional<Segment> segment;
            std::exception_ptr failure;
            try {
                std::optional<Segment> uploaded = co_await withTimeout<UploadTimedOut>(
                    limits.clock, limits.uploadTimeout, std::move(attemptUpload));
                segment = std::move(uploaded);
            } catch (...) {
                failure = std::current_exception();
            }

            if (!failure) {
                const auto self = co_await wanted(weak);
                if (self) {
                    if (segment) {
                        report(self->callbacks_.stored, std::move(*segment));
                    }
                    report(self->callbacks_.problem, self->speaker_, std::nullopt);
                }
                co_return;
            }
            const FailureVerdict verdict = judgeFailure(failure);
            if (verdict.retry && attempt < maxAttempts) {
                // A cancelled sleep ends early; the next attempt then finds the channel unwanted.
                co_await limits.clock->sleepIgnoringCancellation(limits.retryBase * attempt);
                continue;
            }
            const auto self = co_await wanted(weak);
            if (self) {
                report(self->callbacks_.problem, self->speaker_,
                       std::optional<std::string>("A stretch of audio couldn't be transcribed: " +
                                                  verdict.description));
            }
            co_return;
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

std::shared_ptr<ChunkChannel> ChunkChannel::create(Speaker speaker,
                                                   std::optional<std::string> language,
                                                   std::int64_t offsetMs, SeqFor seqFor,
                                                   Upload upload, ChannelCallbacks callbacks,
                                                   Limits limits) {
    return std::make_shared<ChunkChannel>(Private{}, speaker, std::move(language), offsetMs,
                                          std::move(seqFor), std::move(upload),
                                          std::move(callbacks), std::move(limits));
}

ChunkChannel::ChunkChannel(Private, Speaker speaker, std::optional<std::string> language,
                           std::int64_t offsetMs, SeqFor seqFor, Upload upload,
                           ChannelCallbacks callbacks, Limits limits)
    : speaker_(speaker),
      language_(std::move(language)),
      upload_(std::move(upload)),
      seqFor_(std::move(seqFor)),
      offsetMs_(offsetMs),
      callbacks_(std::move(callbacks)),
      limits_(std::move(limits)) {}

ChunkChannel::~ChunkChannel() {
    worker_.cancel();
}

Awaitable<void> ChunkChannel::start() {
    co_return;
}

Awaitable<void> ChunkChannel::feed(std::vector<std::uint8_t> pcm) {
    if (stopped_) {
        co_return;
    }
    const Executor executor = co_await boost::asio::this_coro::executor;
    for (ChunkCutter::Chunk& chunk : cutter_.feed(pcm)) {
        enqueue(std::move(chunk), executor);
    }
}

Awaitable<void> ChunkChannel::finish() {
    if (stopped_) {
        co_return;
    }
    stopped_ = true;
    const auto self = shared_from_this();
    const Executor executor = co_await boost::asio::this_coro::executor;
    if (std::optional<ChunkCutter::Chunk> last = cutter_.finish()) {
        enqueue(std::move(*last), executor);
    }
    if (worker_ && !worker_.done()) {
        const Task<> running = worker_;
        co_await running.join();
    }
}

Awaitable<void> ChunkChannel::cancel() {
    stopped_ = true;
    cancelled_ = true;
    pending_.clear();
    queuedBytes_ = 0;
    worker_.cancel();
    worker_ = {};
    cutter_ = ChunkCutter();
    co_return;
}

void ChunkChannel::enqueue(ChunkCutter::Chunk chunk, const Executor& executor) {
    Pending pending;
    pending.wav = WAV::encode(chunk.pcm, PCM16::sampleRate, 1);
    pending.startedMs = chunk.startedMs + offsetMs_;
    pending.endedMs = chunk.endedMs + offsetMs_;
    pending.seq = seqFor_(pending.startedMs);
    pending.queuedAt = limits_.now();
    queuedBytes_ += static_cast<std::int64_t>(pending.wav.size());
    pending_.push_back(std::move(pending));
    trim();
    if (!worker_ || worker_.done()) {
        worker_ = Task<>::spawn(
            executor, "chunk uploads",
            [weak = weak_from_this()]() -> Awaitable<void> { return Worker::drain(weak); });
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
