#include "devserver/web_api.hpp"

#include <charconv>
#include <stdexcept>

#include <boost/url/parse.hpp>

#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/json_fields.hpp"
#include "core/api/transcript_coding.hpp"
#include "devserver/audio_measure.hpp"
#include "devserver/multipart_form.hpp"
#include "devserver/wav_file.hpp"

namespace tessarin {

namespace {

// Every way a request body can be unreadable; answered with 400.
class BadRequest : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::optional<std::vector<std::string>> pathOf(const std::string& target) {
    const auto parsed = boost::urls::parse_origin_form(target);
    if (!parsed) {
        return std::nullopt;
    }
    std::vector<std::string> segments;
    for (const std::string segment : parsed->segments()) {
        segments.push_back(segment);
    }
    return segments;
}

JSONValue jsonBody(const std::string& body) {
    auto value = JSONValue::parse(body);
    if (!value) {
        throw BadRequest("The body is not valid JSON.");
    }
    return std::move(*value);
}

std::int64_t integerField(const MultipartForm& form, std::string_view name) {
    const std::string& text = form.field(name);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        throw BadRequest("The form field \"" + std::string(name) + "\" is not an integer.");
    }
    return value;
}

Speaker speakerOf(const std::string& name) {
    if (auto speaker = speakerNamed(name)) {
        return *speaker;
    }
    throw BadRequest("\"speaker\" must be \"me\" or \"them\".");
}

WAVFile wavOf(const MultipartForm& form) {
    const MultipartForm::Part* file = form.part("file");
    if (!file || !file->filename) {
        throw BadRequest("The form has no \"file\" upload.");
    }
    if (file->contentType && *file->contentType != "audio/wav" &&
        *file->contentType != "audio/x-wav" && *file->contentType != "audio/wave") {
        throw BadRequest("The uploaded file is not audio/wav.");
    }
    return WAVFile::parse(
        std::span(reinterpret_cast<const std::uint8_t*>(file->body.data()), file->body.size()));
}

WebAPI::Reply methodNotAllowed(std::string allowed) {
    auto reply = WebAPI::Reply::error(405, "method_not_allowed", "Method not allowed.");
    reply.headers.emplace_back("Allow", std::move(allowed));
    return reply;
}

WebAPI::Reply notFound(std::string_view what) {
    return WebAPI::Reply::error(404, "not_found", what);
}

}  // namespace

WebAPI::Reply WebAPI::Reply::json(int status, const JSONValue& body) {
    return Reply{status, body.serialized().value_or("{}")};
}

WebAPI::Reply WebAPI::Reply::error(int status, std::string_view code, std::string_view message) {
    return json(
        status,
        JSONValue::object({{"error", JSONValue::object({{"code", code}, {"message", message}})}}));
}

WebAPI::WebAPI(MeetingStore& store, std::shared_ptr<Clock> clock, WallClock wallClock)
    : store_(store), clock_(std::move(clock)), wallClock_(std::move(wallClock)) {}

WebAPI::Reply WebAPI::handle(const Request& request) {
    ++counters_.requests;
    Reply reply = answer(request);
    // The control endpoint answers at once: tests use it to switch a delay off again.
    if (pathOf(request.target) != std::vector<std::string>{"control"}) {
        reply.delay = switches_.settings().delay;
    }
    return reply;
}

WebAPI::Reply WebAPI::answer(const Request& request) {
    const auto refuse = [this](const std::exception& bad) {
        ++counters_.badRequests;
        return Reply::error(400, "bad_request", bad.what());
    };
    // Each of these says the client sent something a real server would refuse; anything else
    // (the database failing) is the server's own fault.
    try {
        return route(request);
    } catch (const BadRequest& bad) {
        return refuse(bad);
    } catch (const MultipartForm::Malformed& bad) {
        return refuse(bad);
    } catch (const DecodingError& bad) {
        return refuse(bad);
    } catch (const std::invalid_argument& bad) {
        return refuse(bad);
    } catch (const std::exception& failure) {
        return Reply::error(500, "internal", failure.what());
    }
}

WebAPI::Reply WebAPI::route(const Request& request) {
    const auto path = pathOf(request.target);
    if (!path) {
        throw BadRequest("The request target is not a path.");
    }
    if (*path == std::vector<std::string>{"control"}) {
        return control(request);
    }
    if (*path == std::vector<std::string>{"api", "v1", "me"}) {
        if (request.method != "GET") {
            return methodNotAllowed("GET");
        }
        if (!authorized(request)) {
            return Reply::error(401, "unauthorized", "The access token is missing or not valid.");
        }
        return Reply::json(200, JSONValue::object({{"user", JSONValue::object({
                                                                {"id", "stand-in"},
                                                                {"email", "developer@localhost"},
                                                                {"name", "Local developer"},
                                                            })},
                                                   {"googleConnected", false}}));
    }
    const bool meetingPath = path->size() == 5 && (*path)[0] == "api" && (*path)[1] == "v1" &&
                             (*path)[2] == "meetings" && !(*path)[3].empty();
    const std::string action = meetingPath ? (*path)[4] : "";
    if (action != "transcription-token" && action != "audio-chunk" && action != "segments" &&
        action != "finish") {
        return notFound("No such endpoint.");
    }
    if (request.method != "POST") {
        return methodNotAllowed("POST");
    }
    if (!authorized(request)) {
        return Reply::error(401, "unauthorized", "The access token is missing or not valid.");
    }
    const std::string& meeting = (*path)[3];
    if (action == "transcription-token") {
        return transcriptionToken(meeting, request);
    }
    if (action == "audio-chunk") {
        return audioChunk(meeting, request);
    }
    if (action == "segments") {
        return segments(meeting, request);
    }
    return finish(meeting);
}

bool WebAPI::authorized(const Request& request) {
    if (request.authorization == "Bearer " + switches_.settings().accessToken) {
        return true;
    }
    ++counters_.unauthorized;
    return false;
}

WebAPI::Reply WebAPI::control(const Request& request) {
    if (request.method == "POST") {
        const FaultSwitches::Actions actions =
            switches_.apply(jsonBody(request.body), clock_->now());
        if (actions.resetCounters) {
            counters_ = DevCounters{};
        }
        if (actions.dropNow && dropNow_) {
            dropNow_();
        }
    } else if (request.method != "GET") {
        return methodNotAllowed("GET, POST");
    }
    return Reply::json(200, JSONValue::object({{"switches", switches_.toJSON(clock_->now())},
                                               {"counters", counters_.toJSON()}}));
}

WebAPI::Reply WebAPI::transcriptionToken(const std::string& meeting, const Request& request) {
    const JSONValue body = jsonBody(request.body);
    const auto source = JSONFields::string(body, "source");
    const JSONValue* language = body.member("language");
    if (!body.isObject() || (source != "mic" && source != "system") ||
        (language && !language->stringValue())) {
        throw BadRequest("Expected {\"source\": \"mic\" or \"system\", \"language\": text}.");
    }
    if (switches_.takeTokenRefusal()) {
        ++counters_.tokensRefused;
        return Reply::error(401, "token_refused", "The stand-in refuses tokens for now.");
    }
    store_.ensureMeeting(meeting, now());
    const Clock::Duration lifetime = switches_.settings().tokenLifetime;
    const std::string key = keys_.mint(clock_->now(), lifetime);
    ++counters_.tokensIssued;
    const auto expiresAt =
        wallClock_() + std::chrono::duration_cast<std::chrono::system_clock::duration>(lifetime);
    return Reply::json(200, JSONValue::object({{"value", key},
                                               {"expiresAt", FlexibleDate::format(expiresAt)},
                                               {"url", realtimeURL_}}));
}

WebAPI::Reply WebAPI::audioChunk(const std::string& meeting, const Request& request) {
    const MultipartForm form = MultipartForm::parse(request.contentType, request.body);
    Segment segment{.seq = integerField(form, "seq"),
                    .startedMs = integerField(form, "startedMs"),
                    .endedMs = integerField(form, "endedMs"),
                    .speaker = speakerOf(form.field("speaker")),
                    .text = {}};
    (void)form.optionalField("language");
    if (segment.endedMs < segment.startedMs) {
        throw BadRequest("\"endedMs\" is before \"startedMs\".");
    }
    const WAVFile wav = wavOf(form);
    ++counters_.chunksReceived;
    AudioMeasure measure(wav.sampleRate * wav.channels);
    measure.add(wav.pcm);
    if (measure.isSilent()) {
        store_.ensureMeeting(meeting, now());
        return Reply::json(200, JSONValue::object({{"segment", nullptr}}));
    }
    segment.text = measure.standInText();
    store_.append(meeting, std::span(&segment, 1), now());
    ++counters_.chunksTranscribed;
    return Reply::json(200, JSONValue::object({{"segment", TranscriptCoding::encode(segment)}}));
}

WebAPI::Reply WebAPI::segments(const std::string& meeting, const Request& request) {
    const auto batch =
        JSONFields::list<Segment>(jsonBody(request.body), &TranscriptCoding::decodeSegment);
    ++counters_.appendsReceived;
    counters_.segmentsReceived += static_cast<std::int64_t>(batch.size());
    if (const auto status = switches_.drawAppendFault()) {
        ++counters_.appendsFailed;
        return *status >= 500
                   ? Reply::error(*status, "unavailable", "The stand-in failed on purpose.")
                   : Reply::error(*status, "refused", "The stand-in refused on purpose.");
    }
    const MeetingStore::Appended appended = store_.append(meeting, batch, now());
    counters_.segmentsStored += appended.stored;
    counters_.segmentsDuplicate += appended.duplicates;
    return Reply::json(
        200, JSONValue::object({{"stored", appended.stored}, {"duplicates", appended.duplicates}}));
}

WebAPI::Reply WebAPI::finish(const std::string& meeting) {
    ++counters_.finishes;
    if (!store_.finish(meeting, now())) {
        return notFound("No such meeting.");
    }
    return Reply::json(200, JSONValue::object({}));
}

std::optional<WebAPI::Reply> WebAPI::refuseUpgrade(const Request& request) {
    const auto path = pathOf(request.target);
    std::optional<Reply> refusal;
    if (!path || *path != std::vector<std::string>{"v1", "realtime"}) {
        refusal = notFound("No such endpoint.");
    } else if (!request.authorization.starts_with("Bearer ") ||
               !keys_.accepts(request.authorization.substr(7), clock_->now())) {
        refusal = Reply::error(401, "invalid_api_key", "The transcription key is not valid.");
    } else if (switches_.upgradesRefused(clock_->now())) {
        refusal = Reply::error(503, "service_unavailable", "The stand-in refuses connections now.");
    }
    ++(refusal ? counters_.upgradesRefused : counters_.upgradesAccepted);
    return refusal;
}

std::string WebAPI::now() const {
    return FlexibleDate::format(wallClock_());
}

}  // namespace tessarin
