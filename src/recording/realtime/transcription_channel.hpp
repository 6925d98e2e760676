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
#include "core/async/task.hpp"
#include "core/audio/outage_buffer.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/turn_detector.hpp"
#include "recording/channels/channel_callbacks.hpp"
#include "recording/channels/speaker_channel.hpp"
#include "recording/realtime/realtime_session.hpp"
#include "recording/realtime/realtime_socket.hpp"

namespace tessarin {

// The live speaker channel: streams one speaker's audio to a realtime session and commits it at
// the turn ends its own TurnDetector finds. It renews the session before the short-lived key
// expires (the old session finishes in the background and still reports), reconnects with back-off
// when the session fails, holds the audio of an outage (up to five minutes) and hands it back
// through `catchUp` once a new session is confirmed.
//
// Confined to its executor and owned through shared_ptr: its timers and session callbacks hold it
// weakly. Every position it reports is milliseconds of audio fed to it since it was made.
class TranscriptionChannel final : public SpeakerChannel,
                                   public std::enable_shared_from_this<TranscriptionChannel> {
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

    TranscriptionChannel(Dependencies dependencies, Speaker speaker,
                         std::optional<std::string> language, TokenFetcher fetchToken,
                         ChannelCallbacks callbacks, double finalWait);
    TranscriptionChannel(const TranscriptionChannel&) = delete;
    TranscriptionChannel& operator=(const TranscriptionChannel&) = delete;
    ~TranscriptionChannel() override;

    Awaitable<void> start() override;
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override;
    Awaitable<void> finish() override;
    Awaitable<void> cancel() override;

    // How long after opening with this token the renewal runs.
    Clock::Duration renewalDelay(const TranscriptionToken& token) const;

  private:
    struct Retiring {
        std::shared_ptr<RealtimeSession> session;
        Task<> finishing;
    };

    void open(const TranscriptionToken& token);
    void handle(const RealtimeSession::Event& event, std::uint64_t generation);
    void scheduleRenewal(Clock::Duration delay);
    Awaitable<void> renew();
    void retire(std::shared_ptr<RealtimeSession> session);
    void commitLastTurn(RealtimeSession& session);
    static Awaitable<void> reconnect(std::weak_ptr<TranscriptionChannel> weak);

    Dependencies dependencies_;
    Speaker speaker_;
    std::optional<std::string> language_;
    TokenFetcher fetchToken_;
    ChannelCallbacks callbacks_;
    double finalWait_;

    TurnDetector detector_{PCM16::sampleRate};
    std::shared_ptr<RealtimeSession> session_;
    // The session a running `finish` waits for, so that `cancel` can still close it.
    std::shared_ptr<RealtimeSession> finishingSession_;
    std::uint64_t generation_ = 0;
    bool stopped_ = false;
    bool cancelled_ = false;
    std::size_t failures_ = 0;
    Task<> renewTask_;
    Task<> reconnectTask_;
    std::vector<Retiring> retiring_;
    OutageBuffer outage_{OutageBuffer::defaultMaxBytes};
    bool opened_ = false;
};

}  // namespace tessarin
