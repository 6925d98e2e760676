#include "core/api/transcript_coding.hpp"

#include "core/api/flexible_date.hpp"
#include "core/api/json_fields.hpp"

namespace tessarin::TranscriptCoding {

namespace {

std::int64_t requiredInt(const JSONValue& object, std::string_view key) {
    if (auto number = JSONFields::required(object, key).intValue()) {
        return *number;
    }
    throw DecodingError("Expected an integer for \"" + std::string(key) + "\"");
}

std::string requiredString(const JSONValue& object, std::string_view key) {
    if (auto text = JSONFields::required(object, key).stringValue()) {
        return *text;
    }
    throw DecodingError("Expected text for \"" + std::string(key) + "\"");
}

}  // namespace

Speaker decodeSpeaker(const JSONValue& value) {
    auto name = value.stringValue();
    if (!name) {
        throw DecodingError("Expected a speaker name");
    }
    if (auto speaker = speakerNamed(*name)) {
        return *speaker;
    }
    throw DecodingError("Not a speaker: " + *name);
}

JSONValue encode(Speaker speaker) {
    return JSONValue(speakerName(speaker));
}

Segment decodeSegment(const JSONValue& value) {
    JSONFields::requireObject(value, "Segment");
    return Segment{.seq = requiredInt(value, "seq"),
                   .startedMs = requiredInt(value, "startedMs"),
                   .endedMs = requiredInt(value, "endedMs"),
                   .speaker = decodeSpeaker(JSONFields::required(value, "speaker")),
                   .text = requiredString(value, "text")};
}

JSONValue encode(const Segment& segment) {
    return JSONValue::object({{"seq", segment.seq},
                              {"startedMs", segment.startedMs},
                              {"endedMs", segment.endedMs},
                              {"speaker", encode(segment.speaker)},
                              {"text", segment.text}});
}

TranscriptionToken decodeTranscriptionToken(const JSONValue& value,
                                            std::chrono::system_clock::time_point now) {
    JSONFields::requireObject(value, "TranscriptionToken");
    const JSONValue* secret = JSONFields::object(value, "client_secret");
    const JSONValue& credential = secret ? *secret : value;
    TranscriptionToken token;
    token.model = JSONFields::string(value, "model");
    token.value = requiredString(credential, "value");
    token.expiresAt = JSONFields::firstDate(credential, {"expiresAt", "expires_at"})
                          .value_or(now + std::chrono::seconds(600));
    token.url = JSONFields::firstString(value, {"url", "realtimeUrl", "realtime_url"});
    return token;
}

}  // namespace tessarin::TranscriptCoding
