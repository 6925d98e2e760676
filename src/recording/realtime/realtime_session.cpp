#include "recording/realtime/realtime_session.hpp"

#include <utility>

#include "core/audio/pcm16.hpp"
#include "core/text/base64.hpp"

namespace tessarin {

namespace {

constexpr std::string_view keyRefused = "OpenAI didn't accept the transcription key";
constexpr std::string_view modelRefused = "The transcription key can't use gpt-live-transcribe";
constexpr std::string_view usageLimit = "OpenAI's usage limit was reached";
constexpr std::string_view stopped = "OpenAI transcription stopped";
constexpr std::string_view noAnswer = "OpenAI didn't answer in time";
constexpr std::string_view tooSlow = "OpenAI took too long to accept the session";
constexpr std::string_view dropped = "The connection to OpenAI dropped";

std::optional<std::string> stringMember(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    return member ? member->stringValue() : std::nullopt;
}

JSONValue typed(std::string_view type) {
    return JSONValue::object({{"type", std::string(type)}});
}

JSONValue audioAppend(std::span<const std::uint8_t> pcm) {
    return JSONValue::object(
        {{"type", "input_audio_buffer.append"}, {"audio", Base64::encode(pcm)}});
}

}  // namespace

RealtimeSession::Event RealtimeSession::Event::delta(std::string text, std::string itemID) {
    return {Kind::delta, std::move(text), std::move(itemID), 0, 0};
}
RealtimeSession::Event RealtimeSession::Event::segment(std::int64_t t0, std::int64_t t1,
                                                       std::string text) {
    return {Kind::segment, std::move(text), {}, t0, t1};
}
RealtimeSession::Event RealtimeSession::Event::failed(std::string message) {
    return {Kind::failed, std::move(message), {}, 0, 0};
}
RealtimeSession::Event RealtimeSession::Event::ready() {
    return {};
}

RealtimeSession::RealtimeSession(Token, Executor executor, std::shared_ptr<Clock> clock,
                                 Settings settings, RealtimeSocketFactory makeSocket,
                                 std::function<void(Event)> onEvent)
    : executor_(std::move(executor)),
      clock_(std::move(clock)),
      settings_(std::move(settings)),
      makeSocket_(std::move(makeSocket)),
      onEvent_(std::move(onEvent)),
      watchdog_(executor_, clock_),
      tasks_(executor_) {}

// Released without being closed (say, while still connecting): end the connection quietly.
RealtimeSession::~RealtimeSession() {
    close();
}

JSONValue RealtimeSession::configuration() const {
    JSONValue::Object transcription{{"model", settings_.model}, {"delay", "medium"}};
    if (settings_.language) {
        transcription.emplace("language", *settings_.language);
    }
    JSONValue input = JSONValue::object({
        {"format", JSONValue::object({{"type", "audio/pcm"}, {"rate", PCM16::sampleRate}})},
        {"transcription", JSONValue(std::move(transcription))},
        {"turn_detection", nullptr},
    });
    return JSONValue::object({
        {"type", "session.update"},
        {"session", JSONValue::object({{"type", "transcription"},
                                       {"audio", JSONValue::object({{"input", input}})}})},
    });
}

std::string RealtimeSession::messageFor(std::optional<int> httpStatus,
                                        std::optional<std::string> code) {
    if (httpStatus == 401 || code == "invalid_api_key" || code == "invalid_authentication") {
        return std::string(keyRefused);
    }
    if (httpStatus == 403 || code == "model_not_found" || code == "permission_denied") {
        return std::string(modelRefused);
    }
    if (httpStatus == 429 || code == "rate_limit_exceeded" || code == "insufficient_quota") {
        return std::string(usageLimit);
    }
    return std::string(stopped);
}

void RealtimeSession::connect() {
    if (socket_ || closed_) {
        return;
    }
    socket_ = makeSocket_(RealtimeRequest{settings_.url, "Bearer " + settings_.key});
    if (!socket_) {
        fail(std::string(stopped));
        return;
    }
    watchdog_.arm(connectTimeout, [this] { fail(std::string(noAnswer)); });
    write(configuration());
    tasks_.spawn("the realtime receive loop",
                 [weak = weak_from_this(), socket = socket_] { return receiveLoop(weak, socket); });
}

Awaitable<void> RealtimeSession::receiveLoop(std::weak_ptr<RealtimeSession> weak,
                                             std::shared_ptr<RealtimeSocket> socket) {
    for (;;) {
        std::string text;
        std::exception_ptr failure;
        try {
            std::string received = co_await socket->receive();
            text = std::move(received);
        } catch (...) {
            failure = std::current_exception();
        }
        co_await throwIfCancelled();
        auto self = weak.lock();
        if (!self || self->closed_) {
            co_return;
        }
        if (failure) {
            self->fail(messageFor(socket->httpStatus(), std::nullopt));
            co_return;
        }
        self->handleMessage(text);
    }
}

void RealtimeSession::appendAudio(std::vector<std::uint8_t> pcm, std::int64_t atMs) {
    if (closed_ || pcm.empty()) {
        return;
    }
    const JSONValue message = audioAppend(pcm);
    const std::size_t bytes = pcm.size();
    // Held before it is sent: a send that fails the session must not lose this piece.
    untranscribed_.append(std::move(pcm), atMs);
    send(message, bytes);
}

void RealtimeSession::commit(std::int64_t t0, std::int64_t t1) {
    if (closed_) {
        return;
    }
    const std::int64_t span = t1 - t0;
    if (span < minimumCommitMs) {
        const std::vector<std::uint8_t> silence(
            static_cast<std::size_t>(minimumCommitMs - span) * PCM16::bytesPerMs, 0);
        send(audioAppend(silence), silence.size());
        if (closed_) {
            return;
        }
    }
    items_.commitSent(t0, t1);
    send(typed("input_audio_buffer.commit"), 0);
}

void RealtimeSession::clearBuffer(std::int64_t ms) {
    if (closed_) {
        return;
    }
    items_.cleared(ms);
    releaseTranscribed();
    send(typed("input_audio_buffer.clear"), 0);
}

std::optional<OutageBuffer::Taken> RealtimeSession::takeUntranscribed() {
    return untranscribed_.take();
}

void RealtimeSession::send(const JSONValue& message, std::size_t audioBytes) {
    if (closed_) {
        return;
    }
    if (!ready_) {
        queued_.push_back(message);
        queuedBytes_ += audioBytes;
        if (queuedBytes_ > maxQueuedBytes) {
            fail(std::string(tooSlow));
        }
        return;
    }
    write(message);
}

void RealtimeSession::write(const JSONValue& message) {
    auto text = message.serialized();
    if (!text || !socket_) {
        return;
    }
    socket_->send(std::move(*text), [weak = weak_from_this()](std::optional<std::string> error) {
        if (!error) {
            return;
        }
        if (auto self = weak.lock()) {
            self->fail(std::string(dropped));
        }
    });
}

Awaitable<void> RealtimeSession::finish() {
    auto self = shared_from_this();
    if (closed_) {
        co_return;
    }
    if (!finishing_) {
        if (items_.drained()) {
            close();
            co_return;
        }
        finishing_ = std::make_shared<OneShot<void>>(executor_);
        watchdog_.arm(settings_.finalWait, [this] { finalFlush(); });
    }
    auto waiter = finishing_;
    co_await waiter->wait();
}

void RealtimeSession::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    watchdog_.disarm();
    if (socket_) {
        socket_->close();
    }
    queued_.clear();
    queuedBytes_ = 0;
    if (auto waiter = std::move(finishing_)) {
        finishing_.reset();
        waiter->resume();
    }
}

void RealtimeSession::fail(const std::string& message) {
    if (closed_) {
        return;
    }
    const bool finishWaiting = finishing_ != nullptr;
    close();
    if (!finishWaiting) {
        emit(Event::failed(message));
    }
}

void RealtimeSession::handleMessage(std::string_view text) {
    auto message = JSONValue::parse(text);
    if (!message || !message->isObject()) {
        return;
    }
    auto type = stringMember(*message, "type");
    if (!type) {
        return;
    }
    if (*type == "session.updated") {
        if (ready_) {
            return;
        }
        ready_ = true;
        // A finish that began before the confirmation has replaced the connection watchdog with
        // its own timer, which must keep running or that finish could wait for ever.
        if (!finishing_) {
            watchdog_.disarm();
        }
        emit(Event::ready());
        std::vector<JSONValue> waiting = std::move(queued_);
        queued_.clear();
        queuedBytes_ = 0;
        for (const auto& queuedMessage : waiting) {
            if (closed_) {
                return;
            }
            write(queuedMessage);
        }
        return;
    }
    if (*type == "error") {
        handleError(*message);
        return;
    }
    auto itemID = stringMember(*message, "item_id");
    if (!itemID) {
        return;
    }
    if (*type == "input_audio_buffer.committed") {
        report(items_.committed(*itemID));
    } else if (*type == "conversation.item.input_audio_transcription.delta") {
        auto piece = stringMember(*message, "delta");
        if (auto whole = items_.delta(*itemID, piece.value_or(""))) {
            emit(Event::delta(std::move(*whole), *itemID));
        }
    } else if (*type == "conversation.item.input_audio_transcription.completed") {
        report(items_.completed(*itemID, stringMember(*message, "transcript")));
    } else if (*type == "conversation.item.input_audio_transcription.failed") {
        items_.failed(*itemID);
        drainCheck();
    }
}

void RealtimeSession::handleError(const JSONValue& message) {
    std::optional<std::string> code;
    if (const JSONValue* error = message.member("error")) {
        code = stringMember(*error, "code");
    }
    if (code == "input_audio_buffer_commit_empty") {
        items_.commitWasEmpty();
        drainCheck();
        return;
    }
    fail(messageFor(std::nullopt, code));
}

void RealtimeSession::report(std::optional<RealtimeItems::Report> finished) {
    if (finished) {
        emit(Event::segment(finished->t0, finished->t1, std::move(finished->text)));
    }
    drainCheck();
}

// Runs after every change to the items.
void RealtimeSession::drainCheck() {
    releaseTranscribed();
    if (finishing_ && !closed_ && items_.drained()) {
        close();
    }
}

void RealtimeSession::finalFlush() {
    auto flushed = items_.flush();
    releaseTranscribed();
    for (auto& finished : flushed) {
        if (closed_) {
            return;
        }
        emit(Event::segment(finished.t0, finished.t1, std::move(finished.text)));
    }
    close();
}

// Audio whose transcript came is no longer held.
void RealtimeSession::releaseTranscribed() {
    untranscribed_.releaseBefore(items_.untranscribedFrom());
}

void RealtimeSession::emit(Event event) {
    if (onEvent_) {
        onEvent_(std::move(event));
    }
}

}  // namespace tessarin
