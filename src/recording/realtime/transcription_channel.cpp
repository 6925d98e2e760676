#include "recording/realtime/transcription_channel.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include <boost/asio/post.hpp>

#include "core/audio/pcm16.hpp"
#include "recording/realtime/realtime_endpoint.hpp"
#include "recording/realtime/task_stopping.hpp"
#include "recording/realtime/web_socket_realtime_socket.hpp"

namespace tessarin {

TranscriptionChannel::TranscriptionChannel(Dependencies dependencies, Speaker speaker,
                                           std::optional<std::string> language,
                                           TokenFetcher fetchToken, ChannelCallbacks callbacks,
                                           double finalWait)
    : dependencies_(std::move(dependencies)),
      speaker_(speaker),
      language_(std::move(language)),
      fetchToken_(std::move(fetchToken)),
      callbacks_(std::move(callbacks)),
      finalWait_(finalWait) {
    if (!dependencies_.makeSocket) {
        dependencies_.makeSocket =
            WebSocketRealtimeSocket::factory(dependencies_.executor, dependencies_.clock, nullptr);
    }
}

TranscriptionChannel::~TranscriptionChannel() {
    stopTask(renewTask_);
    stopTask(reconnectTask_);
}

Awaitable<void> TranscriptionChannel::start() {
    auto self = shared_from_this();
    TranscriptionToken token = co_await fetchToken_();
    // Cancelled or finished while the token was on its way: opening now would leave a session
    // running that nobody closes.
    if (!stopped_) {
        open(token);
    }
}

void TranscriptionChannel::open(const TranscriptionToken& token) {
    opened_ = true;
    const std::uint64_t generation = ++generation_;
    RealtimeSession::Settings settings{RealtimeEndpoint::forToken(token), token.value,
                                       token.model.value_or(std::string(defaultModel)), language_,
                                       finalWait_};
    std::weak_ptr<TranscriptionChannel> weak = weak_from_this();
    Executor executor = dependencies_.executor;
    // Each event is handled in a turn of its own, after whatever operation is running.
    auto onEvent = [weak, generation, executor](RealtimeSession::Event event) {
        boost::asio::post(executor, [weak, generation, event = std::move(event)] {
            if (auto self = weak.lock()) {
                self->handle(event, generation);
            }
        });
    };
    session_ = std::make_shared<RealtimeSession>(executor, dependencies_.clock, std::move(settings),
                                                 dependencies_.makeSocket, std::move(onEvent));
    session_->connect();
    scheduleRenewal(renewalDelay(token));
}

Clock::Duration TranscriptionChannel::renewalDelay(const TranscriptionToken& token) const {
    const auto untilExpiry = token.expiresAt - dependencies_.now();
    const auto delay = std::chrono::duration_cast<Clock::Duration>(untilExpiry - renewalLead);
    return std::max<Clock::Duration>(delay, leastRenewalDelay);
}

void TranscriptionChannel::scheduleRenewal(Clock::Duration delay) {
    stopTask(renewTask_);
    std::weak_ptr<TranscriptionChannel> weak = weak_from_this();
    renewTask_ = Task<>::spawn(dependencies_.executor, "the session renewal",
                               [weak, clock = dependencies_.clock, delay]() -> Awaitable<void> {
                                   co_await clock->sleep(delay);
                                   if (auto self = weak.lock()) {
                                       co_await self->renew();
                                   }
                               });
}

Awaitable<void> TranscriptionChannel::feed(std::vector<std::uint8_t> pcm) {
    if (stopped_) {
        co_return;
    }
    const std::int64_t at = detector_.elapsedMs();
    const auto actions = detector_.feed(PCM16::decode(pcm));
    // A session that has failed but whose failure is not handled yet counts as gone, so the audio
    // of that moment is held for the catch-up rather than lost.
    if (session_ && !session_->isClosed()) {
        auto session = session_;
        if (!pcm.empty()) {
            session->send(RealtimeSession::audioAppend(pcm), pcm.size());
        }
        for (const auto& action : actions) {
            if (action.isCommit()) {
                session->commit(action.startMs, action.endMs);
            } else if (!session->isClosed()) {
                session->send(RealtimeSession::bufferClear(), 0);
            }
        }
        co_return;
    }
    if (opened_ && outage_.append(std::move(pcm), at) && callbacks_.backlog) {
        callbacks_.backlog(speaker_, std::string(outageDropMessage));
    }
}

void TranscriptionChannel::handle(const RealtimeSession::Event& event, std::uint64_t generation) {
    if (cancelled_) {
        return;
    }
    using Kind = RealtimeSession::Event::Kind;
    switch (event.kind) {
        case Kind::delta:
            if (callbacks_.delta) {
                callbacks_.delta(speaker_, event.text, event.itemID);
            }
            break;
        case Kind::segment:
            if (callbacks_.segment) {
                callbacks_.segment(speaker_, event.t0, event.t1, event.text);
            }
            break;
        case Kind::failed:
            if (generation != generation_ || stopped_) {
                break;
            }
            session_.reset();
            // The failed session's renewal would open a second session beside the reconnection.
            stopTask(renewTask_);
            if (callbacks_.problem) {
                callbacks_.problem(speaker_, event.text);
            }
            reconnectTask_ = Task<>::spawn(
                dependencies_.executor, "the reconnection",
                [weak = weak_from_this()]() -> Awaitable<void> { co_await reconnect(weak); });
            break;
        case Kind::ready:
            if (generation != generation_) {
                break;
            }
            failures_ = 0;
            if (auto held = outage_.take(); held && callbacks_.catchUp) {
                callbacks_.catchUp(speaker_, std::move(held->pcm), held->startMs);
            }
            if (callbacks_.problem) {
                callbacks_.problem(speaker_, std::nullopt);
            }
            break;
    }
}

Awaitable<void> TranscriptionChannel::renew() {
    auto self = shared_from_this();
    if (stopped_) {
        co_return;
    }
    std::optional<TranscriptionToken> token;
    try {
        token = co_await fetchToken_();
    } catch (...) {
    }
    if (stopped_) {
        co_return;
    }
    if (!token) {
        scheduleRenewal(renewalRetry);
        co_return;
    }
    if (session_) {
        commitLastTurn(*session_);
        retire(std::move(session_));
        session_.reset();
    }
    open(*token);
}

void TranscriptionChannel::commitLastTurn(RealtimeSession& session) {
    if (auto last = detector_.flush(); last && last->isCommit()) {
        session.commit(last->startMs, last->endMs);
    }
}

void TranscriptionChannel::retire(std::shared_ptr<RealtimeSession> session) {
    std::erase_if(retiring_, [](const Retiring& entry) { return entry.finishing.done(); });
    auto finishing = Task<>::spawn(dependencies_.executor, "a retiring session",
                                   [session]() -> Awaitable<void> { co_await session->finish(); });
    retiring_.push_back({std::move(session), std::move(finishing)});
}

Awaitable<void> TranscriptionChannel::reconnect(std::weak_ptr<TranscriptionChannel> weak) {
    for (;;) {
        std::shared_ptr<Clock> clock;
        Clock::Duration delay{};
        TokenFetcher fetch;
        {
            auto self = weak.lock();
            if (!self || self->stopped_) {
                co_return;
            }
            delay = reconnectionDelays[std::min<std::size_t>(self->failures_,
                                                             reconnectionDelays.size() - 1)];
            ++self->failures_;
            clock = self->dependencies_.clock;
            fetch = self->fetchToken_;
        }
        co_await clock->sleepIgnoringCancellation(delay);
        if (auto self = weak.lock(); !self || self->stopped_) {
            co_return;
        }
        std::optional<TranscriptionToken> token;
        std::exception_ptr error;
        try {
            token = co_await fetch();
        } catch (...) {
            error = std::current_exception();
        }
        auto self = weak.lock();
        if (!self || self->stopped_) {
            co_return;
        }
        if (token) {
            self->open(*token);
            co_return;
        }
        if (self->callbacks_.problem) {
            self->callbacks_.problem(self->speaker_,
                                     std::string(unreachablePrefix) + describe(error));
        }
    }
}

Awaitable<void> TranscriptionChannel::finish() {
    auto self = shared_from_this();
    if (stopped_) {
        co_return;
    }
    stopped_ = true;
    stopTask(renewTask_);
    stopTask(reconnectTask_);
    if (session_) {
        auto session = std::move(session_);
        session_.reset();
        commitLastTurn(*session);
        finishingSession_ = session;
        co_await session->finish();
        finishingSession_.reset();
    }
    for (std::size_t i = 0; i < retiring_.size(); ++i) {
        auto finishing = retiring_[i].finishing;
        co_await finishing.join();
    }
    // Events of the sessions' last moments are posted; let them through before the hand-back.
    co_await boost::asio::post(dependencies_.executor, boost::asio::use_awaitable_t<Executor>{});
    if (auto held = outage_.take(); held && callbacks_.catchUp) {
        callbacks_.catchUp(speaker_, std::move(held->pcm), held->startMs);
    }
}

Awaitable<void> TranscriptionChannel::cancel() {
    stopped_ = true;
    cancelled_ = true;
    stopTask(renewTask_);
    stopTask(reconnectTask_);
    if (auto session = std::move(session_)) {
        session_.reset();
        session->close();
    }
    if (auto session = std::move(finishingSession_)) {
        finishingSession_.reset();
        session->close();
    }
    // Retiring sessions would otherwise go on reporting after the cancel.
    for (auto& entry : retiring_) {
        entry.session->close();
    }
    retiring_.clear();
    co_return;
}

}  // namespace tessarin
