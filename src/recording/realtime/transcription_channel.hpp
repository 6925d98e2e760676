#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/api/speaker.hpp"
#include "core/api/transcription_token.hpp"
#include "core/async/clock.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "core/audio/outage_buffer.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/turn_detector.hpp"
#include "core/net/realtime_socket.hpp"
#include "recording/channels/channel_callbacks.hpp"
#include "recording/channels/speaker_channel.hpp"
#include "recording/realtime/realtime_session.hpp"

namespace tessarin {

// The live speaker channel: streams one speaker's audio to a realtime session and commits it at
// the turn ends its own TurnDetector finds. It renews the session before the short-lived key
// expires (the old session finishes in the background and still reports), reconnects with back-off
// when the session fails, holds the audio of an outage (up to five minutes) and hands it back
// through `catchUp` once a new session is confirmed. The audio a failed session had not
// transcribed yet (its open turn, commits whose transcript never came, audio it never got to send)
// joins the outage ahead of what is fed after the failure, so a dropped connection loses no speech.
//
// There is never more than one current session. Confined to its executor and made with `create`:
// its tasks and session callbacks hold it weakly. Every position it reports is milliseconds of
// audio fed to it since it was made.
class TranscriptionChannel final : public SpeakerChannel,
                                   public SharedObject<TranscriptionChannel> {
  public:
    using TokenFetcher = std::function<Awaitable<TranscriptionToken>()>;
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    static constexpr std::chrono::seconds renewalLead{90};
    static constexpr std::chrono::seconds leastRenewalDelay{30};
    static constexpr std::chrono::seconds renewalRetry{15};
    static constexpr std::array<std::chrono::seconds, 4> reconnectionDelays{
        std::chrono::seconds(1), std::chrono::seconds(3), std::chrono::seconds(10),
        std::chrono::seconds(30)};
    static constexpr std::string_view defaultModel = "gpt-live-transcribe";
    static constexpr std::string_view outageDropMessage =
        "The connection was down for over 5 minutes: the oldest audio from the outage was dropped";
    static constexpr std::string_view unreachablePrefix = "Can't reach transcription: ";

    struct Dependencies {
        Executor executor;
        std::shared_ptr<Clock> clock;
        WallClock now = [] { return std::chrono::system_clock::now(); };
        // Empty: live WebSocket connections verified against the system's authorities.
        RealtimeSocketFactory makeSocket;
    };

    TranscriptionChannel(Token, Dependencies dependencies, Speaker speaker,
                         std::optional<std::string> language, TokenFetcher fetchToken,
                         ChannelCallbacks callbacks, Clock::Duration finalWait);
    TranscriptionChannel(const TranscriptionChannel&) = delete;
    TranscriptionChannel& operator=(const TranscriptionChannel&) = delete;

    Awaitable<void> start() override;
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override;
    Awaitable<void> finish() override;
    Awaitable<void> cancel() override;

  private:
    void open(const TranscriptionToken& token);
    Clock::Duration renewalDelay(const TranscriptionToken& token) const;
    void handle(const RealtimeSession::Event& event, std::uint64_t generation);
    bool isCurrent(std::uint64_t generation) const;
    void replaceSession(const TranscriptionToken& token);
    void endTurnOn(RealtimeSession& session);
    void retire(std::shared_ptr<RealtimeSession> session);
    void retired(const std::shared_ptr<RealtimeSession>& session);
    void absorbFailedSession();
    void hold(std::vector<std::uint8_t> pcm, std::int64_t atMs);
    void handBack(std::optional<OutageBuffer::Taken> audio);
    void reportProblem(std::optional<std::string> message);
    static Awaitable<void> renewal(std::weak_ptr<TranscriptionChannel> weak,
                                   std::uint64_t generation, Clock::Duration delay);
    static Awaitable<void> reconnection(std::weak_ptr<TranscriptionChannel> weak);

    Dependencies dependencies_;
    Speaker speaker_;
    std::optional<std::string> language_;
    TokenFetcher fetchToken_;
    // Set by `cancel`: what the callbacks posted and did not yet deliver is dropped.
    std::shared_ptr<bool> cancelled_ = std::make_shared<bool>(false);
    ChannelCallbacks callbacks_;
    Clock::Duration finalWait_;

    TurnDetector detector_{PCM16::sampleRate};
    std::shared_ptr<RealtimeSession> session_;
    // Sessions replaced by a renewal (or ended by `finish`) that still deliver what they owe.
    std::vector<std::shared_ptr<RealtimeSession>> retiring_;
    std::uint64_t generation_ = 0;
    bool stopped_ = false;
    bool opened_ = false;
    std::size_t failures_ = 0;
    OutageBuffer outage_{OutageBuffer::defaultMaxBytes};
    // Renewals, reconnections and the finishes of retiring sessions.
    TaskGroup tasks_;
};

}  // namespace tessarin
