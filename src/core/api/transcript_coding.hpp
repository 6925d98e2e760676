#pragma once

#include <chrono>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "core/api/transcription_token.hpp"
#include "core/json/json_value.hpp"

namespace tessarin {

// JSON coding of the shared transcript types, which are declared on their own so that the whole
// recording path can use them without the web-server models. Decoders throw DecodingError.
namespace TranscriptCoding {

Speaker decodeSpeaker(const JSONValue& value);
JSONValue encode(Speaker speaker);

// Exactly the keys "seq", "startedMs", "endedMs", "speaker" and "text", all required.
Segment decodeSegment(const JSONValue& value);
JSONValue encode(const Segment& segment);

// "model" at the top; "value" and "expiresAt"/"expires_at" on the object under "client_secret"
// when there is one, else on the top level; a token without an expiry expires 600 seconds after
// `now`. The realtime address is read from "url", "realtimeUrl" or "realtime_url" as given.
TranscriptionToken decodeTranscriptionToken(const JSONValue& value,
                                            std::chrono::system_clock::time_point now);

}  // namespace TranscriptCoding

}  // namespace tessarin
