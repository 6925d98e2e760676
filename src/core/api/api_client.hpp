#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/api/attendee.hpp"
#include "core/api/created_meeting.hpp"
#include "core/api/me.hpp"
#include "core/api/meeting_summary.hpp"
#include "core/api/segment.hpp"
#include "core/api/transcription_token.hpp"
#include "core/api/upcoming_response.hpp"
#include "core/async/awaitable.hpp"
#include "core/http/http_response.hpp"
#include "core/http/http_transport.hpp"

namespace tessarin {

class AuthProvider;

// The web server's REST API. A plain value: copies share the provider and the transport, and any
// number of calls may run at once. Every call may fail with APIError, with the provider's
// AuthError, or with the transport's error (HTTPTransportError, cancellation) unchanged.
class APIClient {
  public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    // The domain under which Cloudflare Access serves its login pages.
    static constexpr std::string_view accessLoginDomain = "cloudflareaccess.com";
    // A request fails once nothing has moved on its connection for this long.
    static constexpr std::chrono::seconds inactivityLimit{30};

    // `now` dates tokens that come without an expiry; the system clock unless a test gives one.
    APIClient(std::shared_ptr<AuthProvider> auth, std::shared_ptr<HTTPTransport> transport,
              WallClock now = {});

    const URL& appURL() const;
    const std::shared_ptr<AuthProvider>& auth() const { return auth_; }
    const std::shared_ptr<HTTPTransport>& transport() const { return transport_; }

    Awaitable<Me> me() const;
    // Falls back to an empty, unconnected reply carrying the user's connect URL when the server
    // answers 409, 412 or 428 (calendar not connected).
    Awaitable<UpcomingResponse> upcoming(double hours) const;
    Awaitable<CreatedMeeting> createMeeting(std::string title,
                                            std::chrono::system_clock::time_point startsAt,
                                            std::optional<std::string> calendarEventId,
                                            std::vector<Attendee> attendees) const;
    // `source` is "mic" or "system" for this helper's callers; it is sent as given.
    Awaitable<TranscriptionToken> transcriptionToken(std::string meetingID, std::string source,
                                                     std::optional<std::string> language) const;
    // Told true when a call starts waiting for a fresh access token after a 401 (the user may take
    // a while to sign in again) and false when it goes on, so that a caller's own time limit can
    // leave that wait out.
    using TokenWait = std::function<void(bool waiting)>;

    // Uploads one WAV chunk as multipart/form-data; the result is the segment the server
    // transcribed from it, if any.
    Awaitable<std::optional<Segment>> appendAudioChunk(std::string meetingID,
                                                       std::vector<std::uint8_t> wav,
                                                       std::int64_t seq, std::int64_t startedMs,
                                                       std::int64_t endedMs, Speaker speaker,
                                                       std::optional<std::string> language,
                                                       TokenWait tokenWait = {}) const;
    Awaitable<void> appendSegments(std::string meetingID, std::vector<Segment> segments) const;
    // A 404 counts as success: the meeting is already finished or gone.
    Awaitable<void> finish(std::string meetingID) const;
    Awaitable<std::vector<MeetingSummary>> meetings() const;

    // The pieces of the client's wire rules, public so that they can be checked on their own.
    struct ErrorParts {
        std::optional<std::string> code;
        std::optional<std::string> message;
        bool operator==(const ErrorParts&) const = default;
    };
    static ErrorParts errorParts(std::span<const std::uint8_t> body);
    static bool isAccessLogin(std::span<const std::uint8_t> body, const HTTPResponse& response);
    // The multipart/form-data body of an audio-chunk upload with the given boundary.
    static std::vector<std::uint8_t> audioChunkBody(std::string_view boundary,
                                                    std::span<const std::uint8_t> wav,
                                                    std::int64_t seq, std::int64_t startedMs,
                                                    std::int64_t endedMs, Speaker speaker,
                                                    const std::optional<std::string>& language);
    // "tess-" and 16 Base64URL characters of fresh random bytes.
    static std::string makeBoundary();

  private:
    struct Call;
    // Sends the call with the current token (renewing it once after a 401) and returns the reply
    // of a 2xx status; throws the APIError of every other outcome.
    Awaitable<HTTPTransport::Result> perform(Call call) const;

    std::shared_ptr<AuthProvider> auth_;
    std::shared_ptr<HTTPTransport> transport_;
    WallClock now_;
};

}  // namespace tessarin
