#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "core/json/json_value.hpp"
#include "recording/realtime/realtime_items.hpp"
#include "recording/realtime/realtime_socket.hpp"

namespace tessarin {

// One WebSocket connection to the realtime transcription service for one speaker: sends the
// session configuration, streams audio messages (held back until the service confirms the
// configuration), commits the audio at the turn ends its owner gives, and reports each finished
// transcript with the time range of its commit. Every wait is guarded by a watchdog on the clock,
// and the service's failures become short messages for the user.
//
// Confined to its executor; owned through shared_ptr (the watchdog and the receive loop hold it
// weakly, so releasing the session ends them). After `close`, nothing is sent or reported.
class RealtimeSession : public std::enable_shared_from_this<RealtimeSession> {
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
        double finalWait = 3.0;
    };

    static constexpr double watchdogSeconds = 15.0;
    static constexpr std::size_t maxQueuedBytes = 3 * 1024 * 1024;
    // The service refuses commits of less audio than this.
    static constexpr std::int64_t minimumCommitMs = 100;

    RealtimeSession(Executor executor, std::shared_ptr<Clock> clock, Settings settings,
                    RealtimeSocketFactory makeSocket, std::function<void(Event)> onEvent);
    RealtimeSession(const RealtimeSession&) = delete;
    RealtimeSession& operator=(const RealtimeSession&) = delete;
    ~RealtimeSession();

    // Opens the socket, sends the configuration and starts receiving.
    void connect();
    // Commits the audio sent so far as one item covering t0..t1 (ms).
    void commit(std::int64_t t0, std::int64_t t1);
    // Queues or writes one message; `audioBytes` is the PCM it carries, for the queue's bound.
    void send(const JSONValue& message, std::size_t audioBytes);
    // Waits until every committed item is reported or `finalWait` has passed, then closes.
    Awaitable<void> finish();
    void close();

    bool isClosed() const { return closed_; }
    bool isReady() const { return ready_; }

    // The session configuration message.
    JSONValue configuration() const;
    // The audio message for a run of PCM16 bytes.
    static JSONValue audioAppend(std::span<const std::uint8_t> pcm);
    static JSONValue bufferClear();
    // The user-facing message for a failure, from the upgrade's HTTP status and the error code.
    static std::string messageFor(std::optional<int> httpStatus, std::optional<std::string> code);

  private:
    void handleMessage(std::string_view text);
    void handleError(const JSONValue& message);
    void report(std::optional<RealtimeItems::Report> report);
    void drainCheck();
    void fail(const std::string& message);
    void write(const JSONValue& message);
    void arm(double seconds, std::optional<std::string> message);
    void watchdogFired(const std::optional<std::string>& message);
    void finalFlush();
    void emit(Event event);

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
    std::shared_ptr<OneShot<void>> finishing_;
    Task<> watchdog_;
    // Tells a watchdog that was re-armed or cancelled after it woke from one still due.
    std::uint64_t watchdogGeneration_ = 0;
    Task<> receiveLoop_;
};

}  // namespace tessarin
