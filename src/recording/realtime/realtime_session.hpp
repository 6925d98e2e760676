#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "core/audio/outage_buffer.hpp"
#include "core/json/json_value.hpp"
#include "core/net/realtime_socket.hpp"
#include "recording/realtime/realtime_items.hpp"

namespace tessarin {

// One WebSocket connection to the realtime transcription service for one speaker: sends the
// session configuration, streams audio messages (held back until the service confirms the
// configuration), commits the audio at the turn ends its owner gives, and reports each finished
// transcript with the time range of its commit. Every wait is guarded by a deadline on the clock,
// and the service's failures become short messages for the user.
//
// It keeps a copy of the audio it was given until that audio's transcript has come (bounded like
// an outage), so that an owner whose session failed or finished early can have what is still
// untranscribed transcribed another way.
//
// Confined to its executor; made with `create` (the deadline and the receive loop hold it weakly,
// so releasing the session ends them). After `close`, nothing is sent or reported.
class RealtimeSession : public SharedObject<RealtimeSession> {
  public:
    struct Event {
        enum class Kind { delta, segment, failed, ready };
        Kind kind = Kind::ready;
        std::string text;     // delta: the item's whole text so far; segment: the transcript;
                              // failed: the message for the user
        std::string itemID;   // delta
        std::int64_t t0 = 0;  // segment
        std::int64_t t1 = 0;

        static Event delta(std::string text, std::string itemID);
        static Event segment(std::int64_t t0, std::int64_t t1, std::string text);
        static Event failed(std::string message);
        static Event ready();
        bool operator==(const Event&) const = default;
    };

    struct Settings {
        std::string url;
        std::string key;
        std::string model;
        std::optional<std::string> language;
        Clock::Duration finalWait = std::chrono::seconds(3);
    };

    static constexpr Clock::Duration connectTimeout = std::chrono::seconds(15);
    static constexpr std::size_t maxQueuedBytes = 3 * 1024 * 1024;
    // The service refuses commits of less audio than this.
    static constexpr std::int64_t minimumCommitMs = 100;

    RealtimeSession(Token, Executor executor, std::shared_ptr<Clock> clock, Settings settings,
                    RealtimeSocketFactory makeSocket, std::function<void(Event)> onEvent);
    RealtimeSession(const RealtimeSession&) = delete;
    RealtimeSession& operator=(const RealtimeSession&) = delete;
    ~RealtimeSession();

    // Opens the socket, sends the configuration and starts receiving.
    void connect();
    // Sends a run of PCM16 audio that starts at `atMs` of the owner's stream.
    void appendAudio(std::vector<std::uint8_t> pcm, std::int64_t atMs);
    // Commits the audio sent so far as one item covering t0..t1 (ms).
    void commit(std::int64_t t0, std::int64_t t1);
    // Has the service drop the uncommitted audio: what came before `ms` was silence.
    void clearBuffer(std::int64_t ms);
    // Waits until every committed item is reported or `finalWait` has passed, then closes.
    Awaitable<void> finish();
    void close();

    // The audio given to this session that has no transcript (nothing when all has one). Owners
    // take it once the session has failed or finished.
    std::optional<OutageBuffer::Taken> takeUntranscribed();

    bool isClosed() const { return closed_; }
    bool isReady() const { return ready_; }

    // The user-facing message for a failure, from the upgrade's HTTP status and the error code.
    static std::string messageFor(std::optional<int> httpStatus, std::optional<std::string> code);

  private:
    JSONValue configuration() const;
    void send(const JSONValue& message, std::size_t audioBytes);
    void write(const JSONValue& message);
    void handleMessage(std::string_view text);
    void handleError(const JSONValue& message);
    void report(std::optional<RealtimeItems::Report> report);
    void drainCheck();
    void releaseTranscribed();
    void fail(const std::string& message);
    void finalFlush();
    void emit(Event event);
    static Awaitable<void> receiveLoop(std::weak_ptr<RealtimeSession> weak,
                                       std::shared_ptr<RealtimeSocket> socket);

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    Settings settings_;
    RealtimeSocketFactory makeSocket_;
    std::function<void(Event)> onEvent_;

    std::shared_ptr<RealtimeSocket> socket_;
    bool ready_ = false;
    bool closed_ = false;
    std::vector<JSONValue> queued_;
    std::size_t queuedBytes_ = 0;
    RealtimeItems items_;
    OutageBuffer untranscribed_;
    std::shared_ptr<OneShot<void>> finishing_;
    // The confirmation limit while connecting, the final wait while finishing.
    Deadline watchdog_;
    TaskGroup tasks_;
};

}  // namespace tessarin
