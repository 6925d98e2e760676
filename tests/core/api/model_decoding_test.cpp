#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "core/api/calendar_event.hpp"
#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/me.hpp"
#include "core/api/meeting_list.hpp"
#include "core/api/meeting_summary.hpp"
#include "core/api/transcript_coding.hpp"
#include "core/api/upcoming_response.hpp"
#include "core/json/json_value.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using Time = std::chrono::system_clock::time_point;

// 2025-03-04T00:00:00Z and 09:30 that day.
constexpr std::chrono::seconds march4{1741046400};
constexpr std::chrono::seconds nine30{1741080600};
constexpr std::nullopt_t refused = std::nullopt;

template <class Model>
using Cases = std::vector<std::pair<const char*, std::optional<Model>>>;

// Each text decodes to its model, or is refused with a DecodingError where none is given.
template <class Model>
void expectDecoded(const std::function<Model(const JSONValue&)>& decode,
                   const Cases<Model>& cases) {
    for (const auto& [text, expected] : cases) {
        const JSONValue value = JSONValue::parse(text).value();
        if (expected) {
            EXPECT_EQ(decode(value), *expected) << text;
        } else {
            EXPECT_THROW(decode(value), DecodingError) << text;
        }
    }
}

// Numbers are seconds, or milliseconds above 1e11. Hours, minutes and seconds (a leap second
// included) are each taken up to their limit, and so are the zone's.
TEST(FlexibleDate, DecodesNumbersAndTheThreeTextFormsUpToEachFieldsLimit) {
    // clang-format off
    expectDecoded<Time>([](auto& v) { return FlexibleDate::decode(v).date; }, {
        {"1741080600.5", Time(nine30 + 500ms)}, {"100000000001", Time(100000000s + 1ms)},
        {"100000000000", refused},  // 1e11 seconds is past what the clock holds, and not yet ms
        {"8999999998", Time(8999999998s)}, {"9000000000", refused}, {"true", refused},
        {R"("2025-03-04T09:30:00.123456789Z")", Time(nine30 + 123456789ns)},
        {R"("2025-03-04T09:30:00.1234567891Z")", refused}, {R"("2025-03-04T09:30:00.Z")", refused},
        {R"("2025-03-05T09:29:00+2359")", Time(nine30)}, {R"("2025-03-04T05:00:00-04:30")", Time(nine30)},
        {R"("2025-03-04T09:30:00+2400")", refused}, {R"("2025-03-04T09:30:00+0060")", refused},
        {R"("2025-03-04T09:30:00+01-00")", refused}, {R"("2025-03-04T23:59:60Z")", Time(march4 + 24h)},
        {R"("2025-03-04T24:00:00Z")", refused}, {R"("2025-03-04T09:60:00Z")", refused},
        {R"("2025-03-04T09:30:61Z")", refused}, {R"("2025-03-04")", Time(march4)},
        {R"("9999-12-31")", refused}, {R"("2025-02-30")", refused}, {R"("2025-03-04T09:30:00")", refused},
        {R"("2025-03-04T09:30Z")", refused}});
    // clang-format on
}

TEST(CalendarEvent, DecodesTheLenientFormsAndTellsMeetingsByLinksAndAttendees) {
    const std::vector<Attendee> people{{"a@x.example", std::nullopt, std::nullopt},
                                       {"b@x.example", "Bea", true}};
    const std::string untitled = "Untitled meeting";
    // clang-format off
    expectDecoded<CalendarEvent>(CalendarEvent::decode, {
        {R"({"id":17,"title":null,"start":"2025-03-04"})", CalendarEvent{"17", untitled, Time(march4), {}, {}, {}}},
        {R"({"id":"g","summary":"Sync","start":"bad","startsAt":1741080600,"endsAt":"2025-03-04T10:00:00Z",
            "attendees":["a@x.example",{"email":"b@x.example","displayName":"Bea","self":true}],
            "hangoutLink":"https://meet.example/abc"})",
         CalendarEvent{"g", "Sync", Time(nine30), Time(nine30 + 30min), people, URL::parse("https://meet.example/abc")}},
        // An empty conference link hides the other; one bad attendee drops the list.
        {R"({"id":1,"start":0,"conferenceUrl":"","hangoutLink":"https://m.example/x","attendees":["a",5]})",
         CalendarEvent{"1", untitled, Time(0s), {}, {}, {}}},
        {R"({"start":0})", refused}, {R"({"id":1.5,"start":0})", refused},
        {R"({"id":1,"start":"x","startsAt":"y"})", refused}});
    // A link makes a meeting; else two people, not counting attendees that are the user.
    expectDecoded<bool>([](auto& v) { return CalendarEvent::decode(v).isMeeting(); }, {
        {R"({"id":1,"start":0,"attendees":[],"conferenceUrl":"https://zoom.example/j/1"})", true},
        {R"({"id":1,"start":0,"attendees":["a"]})", false}, {R"({"id":1,"start":0,"attendees":["a","b"]})", true},
        {R"({"id":1,"start":0,"attendees":[{"email":"a","self":true},{"email":"b","self":true}]})", false},
        {R"({"id":1,"start":0,"attendees":[{"email":"a","self":true},"b"]})", true},
        {R"({"id":1,"start":0,"attendees":[{"email":"a","self":false}]})", true}});
    // clang-format on
}

// The envelopes around what the server sends: a bare array or an object with the list under one
// of two keys, a profile nested or flat; an empty URL is no URL.
TEST(Models, DecodeTheirEnvelopesAndRefuseWhatTheyCannotDecode) {
    const CalendarEvent event{"1", "Untitled meeting", Time(0s), {}, {}, {}};
    const auto connect = URL::parse("https://n.example/c");
    const MeetingSummary two{"2", "Untitled meeting", {}, {}, {}, {}},
        three{"3", "Untitled meeting", {}, {}, {}, {}};
    // clang-format off
    expectDecoded<UpcomingResponse>(UpcomingResponse::decode, {
        {R"([{"id":1,"start":0}])", UpcomingResponse{{event}, true, {}}},
        {R"({"connectUrl":"https://n.example/c"})", UpcomingResponse{{}, false, connect}},
        {R"({"connectUrl":"https://n.example/c","googleConnected":true})", UpcomingResponse{{}, true, connect}},
        {R"({"events":[{"id":1,"start":0}],"connectUrl":"","connected":false})", UpcomingResponse{{event}, false, {}}},
        {R"({"events":"x","items":[{"id":1,"start":0}]})", UpcomingResponse{{event}, true, {}}},
        {R"({"events":[{"id":1}]})", UpcomingResponse{}}, {R"([{"id":1}])", refused}, {"7", refused}});
    expectDecoded<Me>(Me::decode, {
        {R"({"user":{"id":5,"email":"e@x.example","name":7},"googleConnected":false,
             "google":{"connected":true,"connectUrl":"https://n.example/c"}})", Me{"5", "e@x.example", {}, true, connect}},
        {R"({"id":"u1","connected":true,"connectUrl":""})", Me{"u1", {}, {}, true, {}}},
        {R"({"user":"x","id":true,"google":{"connected":"yes"}})", Me{}}, {"[]", refused}});
    expectDecoded<MeetingList>(MeetingList::decode, {
        {R"([{"id":2}])", MeetingList{{two}}}, {R"({"items":[{"id":3}]})", MeetingList{{three}}},
        {R"({"meetings":[{"id":2}],"items":[{"id":3}]})", MeetingList{{two}}},
        {R"({"meetings":null})", refused}, {R"([{"title":"no id"}])", refused}});
    expectDecoded<Segment>(TranscriptCoding::decodeSegment, {
        {R"({"seq":1,"startedMs":0,"endedMs":1,"speaker":"user","text":"x"})", refused}});
    // clang-format on
}

// Every spelling of the expiry and the realtime address; without a usable expiry, ten minutes from
// now. The value belongs to the credential, nested or not.
TEST(TranscriptCoding, TokensDecodeFlatNestedAndWithTheirRealtimeAddress) {
    using Token = TranscriptionToken;
    const auto later = Time(600s);  // ten minutes after the time the token is decoded
    // clang-format off
    expectDecoded<Token>([](auto& v) { return TranscriptCoding::decodeTranscriptionToken(v, Time(0s)); }, {
        {R"({"value":"a","expiresAt":"2025-03-04T09:30:00Z","url":5,"realtimeUrl":"ws://localhost:9/x"})",
         Token{"a", Time(nine30), {}, "ws://localhost:9/x"}},
        {R"({"model":"m","client_secret":{"value":"b","expires_at":1741080600}})", Token{"b", Time(nine30), "m", {}}},
        {R"({"value":"d","expiresAt":"soon","url":"wss://rt.example/v1"})", Token{"d", later, {}, "wss://rt.example/v1"}},
        {R"({"value":"f","realtime_url":"anything at all"})", Token{"f", later, {}, "anything at all"}},
        {R"({"client_secret":{"expires_at":1},"value":"top"})", refused}, {R"({"value":1})", refused}});
    // clang-format on
}

// Links of the web app's own pages: relative ones resolve against the app, absolute ones stay only
// when they are web links; anything else falls back to the page named by the escaped id.
TEST(MeetingSummary, PageURLsResolveRelativeLinksAndKeepOnlyWebLinks) {
    const URL app = *URL::parse("https://notara.example/app/");
    const auto page = [&app](auto& v) { return MeetingSummary::decode(v).pageURL(app).text(); };
    expectDecoded<std::string>(
        page, {{R"({"id":1,"url":"m/abc"})", "https://notara.example/app/m/abc"},
               {R"({"id":1,"url":"https://other.example/x"})", "https://other.example/x"},
               {R"({"id":1,"url":"http://localhost:3000/x"})", "http://localhost:3000/x"},
               {R"j({"id":"a/b","url":"javascript:alert(1)"})j",
                "https://notara.example/app/meetings/a%2Fb"}});
}

}  // namespace
}  // namespace tessarin
