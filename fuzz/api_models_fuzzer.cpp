// One web-server reply through every model decoder: a decoder either returns a model or throws
// DecodingError (anything else escaping is a crash), and a segment round-trips.
#include <span>

#include "core/api/api_client.hpp"
#include "core/api/calendar_event.hpp"
#include "core/api/chunk_response.hpp"
#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/lenient_string.hpp"
#include "core/api/meeting_list.hpp"
#include "core/api/transcript_coding.hpp"
#include "fuzz_support.hpp"

using namespace tessarin;

namespace {

template <class Decode>
void attempt(Decode decode) {
    try {
        decode();
    } catch (const DecodingError&) {
    }
}

void requireRoundTrip(const Segment& segment) {
    require(TranscriptCoding::decodeSegment(TranscriptCoding::encode(segment)) == segment,
            "a segment decodes from its own encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    APIClient::errorParts(std::span(data, size));
    const auto json = JSONValue::parse(textOf(data, size));
    if (!json) {
        return 0;
    }
    const URL app = *URL::typed("https://app.example/base/");
    attempt([&] { Me::decode(*json); });
    attempt([&] { CreatedMeeting::decode(*json); });
    attempt([&] { Attendee::decode(*json); });
    attempt([&] { LenientString::decode(*json); });
    attempt([&] { TranscriptCoding::decodeTranscriptionToken(*json, {}); });
    attempt([&] { FlexibleDate::decode(*json); });
    attempt([&] { requireRoundTrip(TranscriptCoding::decodeSegment(*json)); });
    attempt([&] { CalendarEvent::decode(*json).isMeeting(); });
    attempt([&] {
        for (const auto& event : UpcomingResponse::decode(*json).events) {
            event.isMeeting();
        }
    });
    attempt([&] { MeetingSummary::decode(*json).pageURL(app).host(); });
    attempt([&] {
        for (const auto& meeting : MeetingList::decode(*json).meetings) {
            meeting.pageURL(app).target();
        }
    });
    if (const auto segment = ChunkResponse::decode(*json).segment) {
        requireRoundTrip(*segment);
    }
    return 0;
}
