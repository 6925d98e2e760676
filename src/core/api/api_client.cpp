#include "core/api/api_client.hpp"

#include <algorithm>
#include <charconv>
#include <locale>

#include <boost/algorithm/string/case_conv.hpp>

#include "core/api/api_error.hpp"
#include "core/api/auth_provider.hpp"
#include "core/api/chunk_response.hpp"
#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/meeting_list.hpp"
#include "core/api/random.hpp"
#include "core/api/transcript_coding.hpp"
#include "core/json/json_value.hpp"
#include "core/text/base64_url.hpp"
#include "core/text/unicode_text.hpp"

namespace tessarin {

struct APIClient::Call {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    std::optional<std::vector<std::uint8_t>> body;
    std::string contentType;
    TokenWait tokenWait;

    static Call get(std::string path, std::vector<std::pair<std::string, std::string>> query = {}) {
        return Call{"GET", std::move(path), std::move(query), std::nullopt, {}, {}};
    }
    static Call post(std::string path, std::vector<std::uint8_t> body,
                     std::string contentType = "application/json") {
        return Call{"POST", std::move(path), {}, std::move(body), std::move(contentType), {}};
    }
};

namespace {

constexpr std::string_view webPageMessage =
    "Got a web page instead of the API. Is the app URL right, and is the token allowed through?";
constexpr std::size_t loginPageScanBytes = 65536;

std::string lowercased(std::string_view text) {
    return boost::algorithm::to_lower_copy(std::string(text), std::locale::classic());
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string_view textOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> jsonBody(const JSONValue& value) {
    // Only integers and strings go into request bodies, so serialising cannot fail.
    return bytesOf(value.serialized().value_or("null"));
}

bool isLoginHost(const std::optional<URL>& url) {
    if (!url) {
        return false;
    }
    const std::string host = lowercased(url->host());
    const std::string domain(APIClient::accessLoginDomain);
    return !host.empty() &&
           (host == domain || (host.size() > domain.size() && host.ends_with("." + domain)));
}

bool isHTML(const HTTPResponse& response) {
    auto type = response.header("Content-Type");
    return type && contains(lowercased(*type), "text/html");
}

std::string meetingPath(std::string_view meetingID, std::string_view action) {
    return "api/v1/meetings/" + URL::escapePathSegment(meetingID) + "/" + std::string(action);
}

std::string decimal(double value) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::to_string(value);
}

// The JSON of a success body where a decodable reply is expected: a web page is the server's
// web-page error, anything that is not JSON a decoding error naming the expected type.
JSONValue replyJSON(const HTTPTransport::Result& result, const std::string& typeName) {
    if (isHTML(result.response)) {
        throw APIError::server(result.response.status, std::nullopt, std::string(webPageMessage));
    }
    auto json = JSONValue::parse(textOf(result.body));
    if (!json) {
        throw APIError::decoding(typeName);
    }
    return std::move(*json);
}

template <class Reply, class Decode>
Reply decodeReply(const HTTPTransport::Result& result, const std::string& typeName, Decode decode) {
    const JSONValue json = replyJSON(result, typeName);
    try {
        return decode(json);
    } catch (const DecodingError&) {
        throw APIError::decoding(typeName);
    }
}

void appendText(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

APIClient::APIClient(std::shared_ptr<AuthProvider> auth, std::shared_ptr<HTTPTransport> transport,
                     WallClock now)
    : auth_(std::move(auth)), transport_(std::move(transport)), now_(std::move(now)) {
    if (!now_) {
        now_ = [] { return std::chrono::system_clock::now(); };
    }
}

const URL& APIClient::appURL() const {
    return auth_->appURL();
}

Awaitable<HTTPTransport::Result> APIClient::perform(Call call) const {
    auto auth = auth_;
    auto transport = transport_;
    std::string token = co_await auth->accessToken();
    for (int attempt = 1;; ++attempt) {
        HTTPRequest request;
        request.method = call.method;
        request.url = auth->appURL().appendingPath(call.path);
        if (!call.query.empty()) {
            request.url = request.url.withQueryItems(call.query);
        }
        request.inactivityLimit = inactivityLimit;
        request.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
        if (call.body) {
            request.body = call.body;
            request.headers.emplace_back("Content-Type", call.contentType);
        }
        HTTPTransport::Result result = co_await transport->send(std::move(request));
        if (isAccessLogin(result.body, result.response)) {
            throw APIError::accessLogin();
        }
        const int status = result.response.status;
        if (status == 401) {
            if (attempt > 1) {
                throw APIError::signedOut();
            }
            if (call.tokenWait) {
                call.tokenWait(true);
            }
            token = co_await auth->tokenRejected(token);
            if (call.tokenWait) {
                call.tokenWait(false);
            }
            continue;
        }
        if (status >= 200 && status <= 299) {
            co_return result;
        }
        ErrorParts parts = errorParts(result.body);
        throw APIError::server(status, std::move(parts.code), std::move(parts.message));
    }
}

Awaitable<Me> APIClient::me() const {
    auto result = co_await perform(Call::get("api/v1/me"));
    co_return decodeReply<Me>(result, "Me", Me::decode);
}

Awaitable<UpcomingResponse> APIClient::upcoming(double hours) const {
    std::vector<std::pair<std::string, std::string>> query;
    query.emplace_back("hours", decimal(hours));
    try {
        auto result = co_await perform(Call::get("api/v1/calendar/upcoming", std::move(query)));
        co_return decodeReply<UpcomingResponse>(result, "UpcomingResponse",
                                                UpcomingResponse::decode);
    } catch (const APIError& error) {
        const auto status = error.status();
        if (!status || (*status != 409 && *status != 412 && *status != 428)) {
            throw;
        }
    }
    // The server's way of saying that no calendar is connected: answer with where to connect one.
    Me user = co_await me();
    UpcomingResponse unconnected;
    unconnected.connected = false;
    unconnected.connectURL = user.connectURL;
    co_return unconnected;
}

Awaitable<CreatedMeeting> APIClient::createMeeting(std::string title,
                                                   std::chrono::system_clock::time_point startsAt,
                                                   std::optional<std::string> calendarEventId,
                                                   std::vector<Attendee> attendees) const {
    JSONValue::Object body;
    body.emplace("title", std::move(title));
    body.emplace("startsAt", FlexibleDate::format(startsAt));
    if (calendarEventId) {
        body.emplace("calendarEventId", *calendarEventId);
    }
    if (!attendees.empty()) {
        JSONValue::Array list;
        for (const auto& attendee : attendees) {
            list.push_back(JSONValue::object(
                {{"email", attendee.email ? JSONValue(*attendee.email) : JSONValue()},
                 {"name", attendee.name ? JSONValue(*attendee.name) : JSONValue()},
                 {"self", attendee.isSelf == true}}));
        }
        body.emplace("attendees", std::move(list));
    }
    auto result =
        co_await perform(Call::post("api/v1/meetings", jsonBody(JSONValue(std::move(body)))));
    co_return decodeReply<CreatedMeeting>(result, "CreatedMeeting", CreatedMeeting::decode);
}

Awaitable<TranscriptionToken> APIClient::transcriptionToken(
    std::string meetingID, std::string source, std::optional<std::string> language) const {
    JSONValue::Object body;
    body.emplace("source", std::move(source));
    if (language) {
        body.emplace("language", *language);
    }
    auto result = co_await perform(Call::post(meetingPath(meetingID, "transcription-token"),
                                              jsonBody(JSONValue(std::move(body)))));
    const auto now = now_();
    co_return decodeReply<TranscriptionToken>(
        result, "TranscriptionToken", [now](const JSONValue& json) {
            return TranscriptCoding::decodeTranscriptionToken(json, now);
        });
}

Awaitable<std::optional<Segment>> APIClient::appendAudioChunk(
    std::string meetingID, std::vector<std::uint8_t> wav, std::int64_t seq, std::int64_t startedMs,
    std::int64_t endedMs, Speaker speaker, std::optional<std::string> language,
    TokenWait tokenWait) const {
    const std::string boundary = makeBoundary();
    auto body = audioChunkBody(boundary, wav, seq, startedMs, endedMs, speaker, language);
    Call call = Call::post(meetingPath(meetingID, "audio-chunk"), std::move(body),
                           "multipart/form-data; boundary=" + boundary);
    call.tokenWait = std::move(tokenWait);
    auto result = co_await perform(std::move(call));
    co_return decodeReply<ChunkResponse>(result, "ChunkResponse", ChunkResponse::decode).segment;
}

Awaitable<void> APIClient::appendSegments(std::string meetingID,
                                          std::vector<Segment> segments) const {
    JSONValue::Array list;
    list.reserve(segments.size());
    for (const auto& segment : segments) {
        list.push_back(TranscriptCoding::encode(segment));
    }
    co_await perform(
        Call::post(meetingPath(meetingID, "segments"), jsonBody(JSONValue(std::move(list)))));
}

Awaitable<void> APIClient::finish(std::string meetingID) const {
    try {
        co_await perform(Call::post(meetingPath(meetingID, "finish"), bytesOf("{}")));
    } catch (const APIError& error) {
        // The meeting is already finished or gone: that is what finishing wanted.
        if (error.status() != 404) {
            throw;
        }
    }
}

Awaitable<std::vector<MeetingSummary>> APIClient::meetings() const {
    auto result = co_await perform(Call::get("api/v1/meetings"));
    co_return decodeReply<MeetingList>(result, "MeetingList", MeetingList::decode).meetings;
}

APIClient::ErrorParts APIClient::errorParts(std::span<const std::uint8_t> body) {
    auto json = JSONValue::parse(textOf(body));
    if (!json || !json->isObject()) {
        return {};
    }
    const JSONValue* error = json->member("error");
    const JSONValue* message = json->member("message");
    auto topMessage = message ? message->stringValue() : std::nullopt;
    if (error) {
        if (auto code = error->stringValue()) {
            return {.code = code, .message = topMessage ? topMessage : code};
        }
        if (error->isObject()) {
            const JSONValue* code = error->member("code");
            const JSONValue* text = error->member("message");
            return {.code = code ? code->stringValue() : std::nullopt,
                    .message = text ? text->stringValue() : std::nullopt};
        }
    }
    return {.code = std::nullopt, .message = topMessage};
}

bool APIClient::isAccessLogin(std::span<const std::uint8_t> body, const HTTPResponse& response) {
    if (isLoginHost(response.url)) {
        return true;
    }
    if (response.status >= 300 && response.status <= 399) {
        if (auto location = response.header("Location")) {
            if (isLoginHost(URL::parse(*location)) || contains(*location, "/cdn-cgi/access/")) {
                return true;
            }
        }
    }
    if (isHTML(response)) {
        const auto head = body.first(std::min(body.size(), loginPageScanBytes));
        const std::string page = lowercased(UnicodeText::repairUTF8(textOf(head)));
        return contains(page, accessLoginDomain) || contains(page, "/cdn-cgi/access/");
    }
    return false;
}

std::vector<std::uint8_t> APIClient::audioChunkBody(std::string_view boundary,
                                                    std::span<const std::uint8_t> wav,
                                                    std::int64_t seq, std::int64_t startedMs,
                                                    std::int64_t endedMs, Speaker speaker,
                                                    const std::optional<std::string>& language) {
    constexpr std::string_view crlf = "\r\n";
    const std::string delimiter = "--" + std::string(boundary);
    std::vector<std::pair<std::string, std::string>> fields{
        {"seq", std::to_string(seq)},
        {"startedMs", std::to_string(startedMs)},
        {"endedMs", std::to_string(endedMs)},
        {"speaker", std::string(speakerName(speaker))}};
    if (language) {
        fields.emplace_back("language", *language);
    }
    std::vector<std::uint8_t> body;
    body.reserve(wav.size() + 1024);
    for (const auto& [name, value] : fields) {
        appendText(body, delimiter);
        appendText(body, crlf);
        appendText(body, "Content-Disposition: form-data; name=\"" + name + "\"");
        appendText(body, crlf);
        appendText(body, crlf);
        appendText(body, value);
        appendText(body, crlf);
    }
    appendText(body, delimiter);
    appendText(body, crlf);
    appendText(body, "Content-Disposition: form-data; name=\"file\"; filename=\"chunk-" +
                         std::to_string(seq) + ".wav\"");
    appendText(body, crlf);
    appendText(body, "Content-Type: audio/wav");
    appendText(body, crlf);
    appendText(body, crlf);
    body.insert(body.end(), wav.begin(), wav.end());
    appendText(body, crlf);
    appendText(body, delimiter + "--");
    appendText(body, crlf);
    return body;
}

std::string APIClient::makeBoundary() {
    return "tess-" + Base64URL::encode(Random::bytes(12));
}

}  // namespace tessarin
