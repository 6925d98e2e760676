#include "recording/realtime/transcription_channel.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/net/web_socket_realtime_socket.hpp"
#include "recording/realtime/realtime_endpoint.hpp"

namespace tessarin {

TranscriptionChannel::TranscriptionChannel(Token, Dependencies dependencies, Speaker speaker,
                                           std::optional<std::string> language,
                                           TokenFetcher fetchToken, ChannelCallbacks callbacks,
                                           Clock::Duration finalWait)
    : dependencies_(std::move(dependencies)),
      speaker_(speaker),
      language_(std::move(language)),
      fetchToken_(std::move(fetchToken)),
      callbacks_(callbacks.postedTo(dependencies_.executor, cancelled_)),
      finalWait_(finalWait),
      tasks_(dependencies_.executor) {
    if (!dependencies_.makeSocket) {
        dependencies_.makeSocket =
            WebSocketRealtimeSocket::factory(dependencies_.executor, dependencies_.clock, nullptr);
    }
}

Awaitable<void> TranscriptionChannel::start() {
    auto self = shared_from_this();
    TranscriptionToken token = co_await fetchToken_();
    // Cancelled or finished while the token was on its way: opening now would leave a session
    // running that nobody closes.
    if (!stopped_ && !session_) {
        open(token);
    }
}

void TranscriptionChannel::open(const TranscriptionToken& token) {
    opened_ = true;
    const std::uint64_t generation = ++generation_;
    RealtimeSession::Settings settings{RealtimeEndpoint::forToken(token), token.value,
                                       token.model.value_or(std::string(defaultModel)), language_,
                                       finalWait_};
    // Each event is handled in a turn of its own, after whatever operation is running.
    auto onEvent = [weak = weak_from_this(), generation,
                    executor = dependencies_.executor](RealtimeSession::Event event) {
        boost::asio::post(executor, [weak, generation, event = std::move(event)] {
            if (auto self = weak.lock()) {
                self->handle(event, generation);
            }
        });
    };
    session_ =
        RealtimeSession::create(dependencies_.executor, dependencies_.clock, std::move(settings),
                                dependencies_.makeSocket, std::move(onEvent));
    session_->connect();
    tasks_.spawn("the session renewal",
                 [weak = weak_from_this(), generation, delay = renewalDelay(token)] {
                     return renewal(weak, generation, delay);
                 });
}

Clock::Duration TranscriptionChannel::renewalDelay(const TranscriptionToken& token) const {
    const auto untilExpiry = token.expiresAt - dependencies_.now();
    const auto delay = std::chrono::duration_cast<Clock::Duration>(untilExpiry - renewalLead);
    return std::max<Clock::Duration>(delay, leastRenewalDelay);
}

Awaitable<void> TranscriptionChannel::feed(std::vector<std::uint8_t> pcm) {
    if (stopped_) {
        co_return;
    }
    const std::int64_t at = detector_.elapsedMs();
    const auto actions = detector_.feed(PCM16::decode(pcm));
    absorbFailedSession();
    if (!session_) {
        hold(std::move(pcm), at);
        co_return;
    }
    auto session = session_;
    session->appendAudio(std::move(pcm), at);
    for (const auto& action : actions) {
        if (action.isCommit()) {
            session->commit(action.startMs, action.endMs);
        } else {
            session->clearBuffer(at);
        }
    }
}

// A session that has failed, whether or not its failure has been handled yet, is dropped and the
// audio it had not transcribed is held ahead of anything fed after it.
void TranscriptionChannel::absorbFailedSession() {
    if (!session_ || !session_->isClosed()) {
        return;
    }
    auto failed = std::move(session_);
    session_.reset();
    if (auto untranscribed = failed->takeUntranscribed()) {
        hold(std::move(untranscribed->pcm), untranscribed->startMs);
    }
}

void TranscriptionChannel::hold(std::vector<std::uint8_t> pcm, std::int64_t atMs) {
    // Before the first session, audio is neither sent nor held.
    if (opened_ && outage_.append(std::move(pcm), atMs) && callbacks_.backlog) {
        callbacks_.backlog(speaker_, std::string(outageDropMessage));
    }
}

void TranscriptionChannel::handBack(std::optional<OutageBuffer::Taken> audio) {
    if (audio && !*cancelled_ && callbacks_.catchUp) {
        callbacks_.catchUp(speaker_, std::move(audio->pcm), audio->startMs);
    }
}

void TranscriptionChannel::reportProblem(std::optional<std::string> message) {
    if (callbacks_.problem) {
        callbacks_.problem(speaker_, std::move(message));
    }
}

void TranscriptionChannel::handle(const RealtimeSession::Event& event, std::uint64_t generation) {
    if (*cancelled_) {
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
            absorbFailedSession();
            reportProblem(event.text);
            tasks_.spawn("the reconnection",
                         [weak = weak_from_this()] { return reconnection(weak); });
            break;
        case Kind::ready:
            if (generation != generation_) {
                break;
            }
            failures_ = 0;
            handBack(outage_.take());
            reportProblem(std::nullopt);
            break;
    }
}

bool TranscriptionChannel::isCurrent(std::uint64_t generation) const {
    return !stopped_ && generation == generation_ && session_ && !session_->isClosed();
}

Awaitable<void> TranscriptionChannel::renewal(std::weak_ptr<TranscriptionChannel> weak,
                                              std::uint64_t generation, Clock::Duration delay) {
    for (;;) {
        std::shared_ptr<Clock> clock;
        TokenFetcher fetch;
        if (auto self = weak.lock()) {
            clock = self->dependencies_.clock;
            fetch = self->fetchToken_;
        } else {
            co_return;
        }
        co_await clock->sleep(delay);
        if (auto self = weak.lock(); !self || !self->isCurrent(generation)) {
            co_return;
        }
        std::optional<TranscriptionToken> token;
        try {
            TranscriptionToken fetched = co_await fetch();
            token = std::move(fetched);
        } catch (...) {
            // Retried below; the current session goes on meanwhile.
        }
        co_await throwIfCancelled();
        // A session that failed meanwhile is the reconnection's to replace, not this renewal's.
        auto self = weak.lock();
        if (!self || !self->isCurrent(generation)) {
            co_return;
        }
        if (token) {
            self->replaceSession(*token);
            co_return;
        }
        delay = renewalRetry;
    }
}

void TranscriptionChannel::replaceSession(const TranscriptionToken& token) {
    auto old = std::move(session_);
    session_.reset();
    endTurnOn(*old);
    retire(std::move(old));
    open(token);
}

// The open turn is committed on the session that heard it; what follows it was silence.
void TranscriptionChannel::endTurnOn(RealtimeSession& session) {
    if (auto last = detector_.flush(); last && last->isCommit()) {
        session.commit(last->startMs, last->endMs);
    }
    session.clearBuffer(detector_.elapsedMs());
}

void TranscriptionChannel::retire(std::shared_ptr<RealtimeSession> session) {
    retiring_.push_back(session);
    tasks_.spawn("a retiring session",
                 [weak = weak_from_this(), session = std::move(session)]() -> Awaitable<void> {
                     co_await session->finish();
                     if (auto self = weak.lock()) {
                         self->retired(session);
                     }
                 });
}

// A retiring session has delivered what it could; the rest of its audio goes back to the pipeline.
void TranscriptionChannel::retired(const std::shared_ptr<RealtimeSession>& session) {
    std::erase(retiring_, session);
    handBack(session->takeUntranscribed());
}

Awaitable<void> TranscriptionChannel::reconnection(std::weak_ptr<TranscriptionChannel> weak) {
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
        co_await clock->sleep(delay);
        if (auto self = weak.lock(); !self || self->stopped_) {
            co_return;
        }
        std::optional<TranscriptionToken> token;
        std::exception_ptr error;
        try {
            TranscriptionToken fetched = co_await fetch();
            token = std::move(fetched);
        } catch (...) {
            error = std::current_exception();
        }
        co_await throwIfCancelled();
        auto self = weak.lock();
        if (!self || self->stopped_ || self->session_) {
            co_return;
        }
        if (token) {
            self->open(*token);
            co_return;
        }
        self->reportProblem(std::string(unreachablePrefix) + describe(error));
    }
}

Awaitable<void> TranscriptionChannel::finish() {
    auto self = shared_from_this();
    if (stopped_) {
        co_return;
    }
    stopped_ = true;
    // Renewal and reconnection end here; the sessions' own finishes go on and are awaited below.
    tasks_.cancelAll();
    // The current session's finish starts first; the retiring ones are finishing already.
    if (session_) {
        endTurnOn(*session_);
        retiring_.insert(retiring_.begin(), std::move(session_));
        session_.reset();
    }
    while (!retiring_.empty()) {
        const auto session = retiring_.front();
        co_await session->finish();
        if (*cancelled_) {
            co_return;
        }
        retired(session);
    }
    // Events of the sessions' last moments are posted; let them through before the hand-back.
    co_await boost::asio::post(dependencies_.executor, boost::asio::use_awaitable_t<Executor>{});
    handBack(outage_.take());
}

Awaitable<void> TranscriptionChannel::cancel() {
    stopped_ = true;
    *cancelled_ = true;
    tasks_.cancelAll();
    if (session_) {
        session_->close();
        session_.reset();
    }
    // Retiring sessions would otherwise go on reporting after the cancel.
    for (const auto& session : retiring_) {
        session->close();
    }
    retiring_.clear();
    co_return;
}

}  // namespace tessarin
