#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/api/calendar_event.hpp"
#include "core/api/chunk_response.hpp"
#include "core/api/created_meeting.hpp"
#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/lenient_string.hpp"
#include "core/api/me.hpp"
#include "core/api/meeting_list.hpp"
#include "core/api/transcript_coding.hpp"
#include "core/api/upcoming_response.hpp"
#include "core/json/json_value.hpp"

using namespace std::chrono_literals;
using std::chrono::system_clock;

namespace tessarin {
namespace {

JSONValue json(const std::string& text) {
    auto value = JSONValue::parse(text);
    if (!value) {
        throw std::invalid_argument("bad test JSON: " + text);
    }
    return *value;
}

system_clock::time_point at(std::chrono::seconds since) {
    return system_clock::time_point(since);
}

// 2025-03-04T00:00:00Z and 09:30 that day.
constexpr std::chrono::seconds march4{1741046400};
constexpr std::chrono::seconds march4at0930{1741080600};

// Numbers are seconds, or milliseconds above 1e11; texts are full dates with a zone or bare days.
// Each field is tried at its largest value and one past it.
TEST(FlexibleDate, DecodesNumbersAndTheThreeTextFormsUpToEachFieldsLimit) {
    const std::optional<system_clock::time_point> refused;
    const std::pair<const char*, std::optional<system_clock::time_point>> cases[] = {
        {"1741080600", at(march4at0930)},
        {"1741080600000", at(march4at0930)},
        {"1741080600.5", at(march4at0930) + 500ms},
        {"100000000001", at(100000000s) + 1ms},
        // 1e11 seconds is in the year 5138, past what the clock holds: refused, not read as ms.
        {"100000000000", refused},
        {R"("2025-03-04T09:30:00Z")", at(march4at0930)},
        {R"("2025-03-04T09:30:00.250Z")", at(march4at0930) + 250ms},
        {R"("2025-03-04T09:30:00.123456789Z")", at(march4at0930) + 123456789ns},
        {R"("2025-03-04T09:30:00.1234567891Z")", refused},
        {R"("2025-03-04T10:30:00+0100")", at(march4at0930)},
        {R"("2025-03-04T05:00:00-04:30")", at(march4at0930)},
        {R"("2025-03-05T09:29:00+2359")", at(march4at0930)},
        {R"("2025-03-04T09:30:00+2400")", refused},
        {R"("2025-03-04T09:30:00+0060")", refused},
        {R"("2025-03-04T09:30:00+01-00")", refused},
        {R"("2025-03-04T23:59:60Z")", at(march4 + 24h)},  // a leap second
        {R"("2025-03-04T09:30:61Z")", refused},
        {R"("2025-03-04T09:60:00Z")", refused},
        {R"("2025-03-04T23:00:00Z")", at(march4 + 23h)},
        {R"("2025-03-04T24:00:00Z")", refused},
        {R"("2025-03-04")", at(march4)},
        {R"("2200-01-01")", at(7258118400s)},
        {R"("9999-12-31")", refused},
        {R"("2025-02-30")", refused},
        {R"("2025-03-04T09:30:00")", refused},
        {R"("2025-03-04T09:30Z")", refused},
        {R"("1741080600")", refused},
        {R"("")", refused},
        {"true", refused},
        {"[]", refused},
        {"-1e300", refused},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        if (expected) {
            EXPECT_EQ(FlexibleDate::decode(json(text)).date, *expected);
        } else {
            EXPECT_THROW(FlexibleDate::decode(json(text)), DecodingError);
        }
    }
    try {
        FlexibleDate::decode(JSONValue("2025-02-30"));
        ADD_FAILURE() << "decoded";
    } catch (const DecodingError& e) {
        EXPECT_STREQ(e.what(), "Not a date: 2025-02-30");
    }
    EXPECT_EQ(FlexibleDate::format(at(march4at0930) + 999ms), "2025-03-04T09:30:00Z");
    EXPECT_EQ(FlexibleDate::format(at(0s)), "1970-01-01T00:00:00Z");
}

TEST(LenientString, ReadsTextAndIntegers) {
    EXPECT_EQ(LenientString::decode(json("42")).value, "42");
    EXPECT_EQ(LenientString::decode(json("-7")).value, "-7");
    EXPECT_EQ(LenientString::decode(json(R"("abc")")).value, "abc");
    for (const char* other : {"1.5", "true", "null", "{}"}) {
        EXPECT_THROW(LenientString::decode(json(other)), DecodingError) << other;
    }
}

TEST(CalendarEvent, DecodesTheLenientForms) {
    auto event = CalendarEvent::decode(json(R"({"id":17,"title":null,"start":"2025-03-04"})"));
    EXPECT_EQ(event.id, "17");
    EXPECT_EQ(event.title, "Untitled meeting");
    EXPECT_EQ(event.start, at(march4));
    EXPECT_FALSE(event.end);
    EXPECT_TRUE(event.attendees.empty());
    EXPECT_FALSE(event.isMeeting());

    auto google = CalendarEvent::decode(json(
        R"({"id":"g","summary":"Sync","start":"bad","startsAt":1741080600,"endsAt":"2025-03-04T10:00:00Z",
            "attendees":["a@x.example",{"email":"b@x.example","displayName":"Bea","self":true}],
            "hangoutLink":"https://meet.example/abc"})"));
    EXPECT_EQ(google.title, "Sync");
    EXPECT_EQ(google.start, at(march4at0930));
    EXPECT_EQ(google.end, at(march4at0930) + 30min);
    ASSERT_EQ(google.attendees.size(), 2u);
    EXPECT_EQ(google.attendees[0], (Attendee{"a@x.example", std::nullopt, std::nullopt}));
    EXPECT_EQ(google.attendees[1], (Attendee{"b@x.example", "Bea", true}));
    EXPECT_EQ(google.conferenceURL, URL::parse("https://meet.example/abc"));

    auto hidden = CalendarEvent::decode(
        json(R"({"id":1,"start":0,"conferenceUrl":"","hangoutLink":"https://meet.example/x"})"));
    EXPECT_FALSE(hidden.conferenceURL);
    auto badAttendee = CalendarEvent::decode(json(R"({"id":1,"start":0,"attendees":["a",5]})"));
    EXPECT_TRUE(badAttendee.attendees.empty());
}

TEST(CalendarEvent, RequiresIdAndStart) {
    for (const char* text : {R"({"start":0})", R"({"id":null,"start":0})", R"({"id":1})",
                             R"({"id":1,"start":"x","startsAt":"y"})", R"([])"}) {
        EXPECT_THROW(CalendarEvent::decode(json(text)), DecodingError) << text;
    }
    try {
        CalendarEvent::decode(json(R"({"id":1,"start":"x","startsAt":"y"})"));
    } catch (const DecodingError& e) {
        EXPECT_STREQ(e.what(), "Not a date: y");
    }
}

TEST(CalendarEvent, IsMeetingFollowsLinksAndAttendees) {
    const std::tuple<const char*, bool, bool> cases[] = {
        // attendees, link, is a meeting
        {R"([])", true, true},
        {R"(["a","b"])", false, true},
        {R"(["a"])", false, false},
        {R"([{"email":"a","self":true},{"email":"b","self":true}])", false, false},
        {R"([{"email":"a","self":true}])", false, false},
        {R"([{"email":"a","self":true},"b"])", false, true},
        {R"([{"email":"a","self":false}])", false, true},
    };
    for (const auto& [attendees, link, expected] : cases) {
        const std::string text = std::string(R"({"id":1,"start":0,"attendees":)") + attendees +
                                 (link ? R"(,"conferenceUrl":"https://zoom.example/j/1"})" : "}");
        EXPECT_EQ(CalendarEvent::decode(json(text)).isMeeting(), expected) << text;
    }
}

TEST(UpcomingResponse, DecodesArraysEnvelopesAndConnectionState) {
    struct Case {
        const char* json;
        std::size_t events;
        bool connected;
        bool hasConnectURL;
    };
    const Case cases[] = {
        {R"([{"id":1,"start":0}])", 1, true, false},
        {R"({})", 0, true, false},
        {R"({"connectUrl":"https://n.example/c"})", 0, false, true},
        {R"({"connectUrl":"https://n.example/c","googleConnected":true})", 0, true, true},
        {R"({"events":[{"id":1,"start":0}],"connected":false})", 1, false, false},
        {R"({"events":"x","items":[{"id":1,"start":0},{"id":2,"start":0}]})", 2, true, false},
        {R"({"events":[{"id":1}]})", 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        auto response = UpcomingResponse::decode(json(c.json));
        EXPECT_EQ(response.events.size(), c.events);
        EXPECT_EQ(response.connected, c.connected);
        EXPECT_EQ(response.connectURL.has_value(), c.hasConnectURL);
    }
    EXPECT_THROW(UpcomingResponse::decode(json(R"([{"id":1}])")), DecodingError);
    EXPECT_THROW(UpcomingResponse::decode(json("7")), DecodingError);
}

TEST(Me, DecodesNestedAndFlatProfiles) {
    auto nested = Me::decode(json(R"({"user":{"id":5,"email":"e@x.example","name":7},
                                       "google":{"connected":true,"connectUrl":"https://c.example"},
                                       "googleConnected":false})"));
    EXPECT_EQ(nested,
              (Me{"5", "e@x.example", std::nullopt, true, URL::parse("https://c.example")}));
    auto flat = Me::decode(json(R"({"id":"u1","connected":true,"connectUrl":""})"));
    EXPECT_EQ(flat, (Me{"u1", std::nullopt, std::nullopt, true, std::nullopt}));
    auto odd = Me::decode(json(R"({"user":"x","id":true,"google":{"connected":"yes"}})"));
    EXPECT_EQ(odd, Me{});
    EXPECT_THROW(Me::decode(json("[]")), DecodingError);
}

TEST(CreatedMeetingAndMeetingList, DecodeTheirEnvelopes) {
    EXPECT_EQ(CreatedMeeting::decode(json(R"({"meeting":{"id":9}})")).id, "9");
    EXPECT_EQ(CreatedMeeting::decode(json(R"({"id":"m","meeting":"no"})")).id, "m");
    EXPECT_THROW(CreatedMeeting::decode(json(R"({"meeting":{},"id":"top"})")), DecodingError);

    EXPECT_EQ(MeetingList::decode(json(R"([{"id":1}])")).meetings.size(), 1u);
    EXPECT_EQ(MeetingList::decode(json(R"({"meetings":[{"id":1},{"id":2}]})")).meetings.size(), 2u);
    EXPECT_EQ(MeetingList::decode(json(R"({"meetings":[{}],"items":[{"id":1}]})")).meetings.size(),
              1u);
    EXPECT_THROW(MeetingList::decode(json(R"({"meetings":null})")), DecodingError);
    EXPECT_THROW(MeetingList::decode(json(R"([{"title":"no id"}])")), DecodingError);
}

TEST(MeetingSummary, DecodesDatesInOrderAndBuildsPageURLs) {
    MeetingSummary summary = MeetingSummary::decode(json(
        R"({"id":3,"startsAt":"nope","starts_at":"2025-03-04","createdAt":0,"status":"done","url":"m/abc"})"));
    EXPECT_EQ(summary.startsAt, at(march4));
    EXPECT_EQ(summary.status, "done");
    EXPECT_FALSE(summary.visibility);
    const URL app = *URL::parse("https://notara.example/app/");

    const std::pair<const char*, const char*> cases[] = {
        {"m/abc", "https://notara.example/app/m/abc"},
        {"/m/abc", "https://notara.example/m/abc"},
        {"https://other.example/x", "https://other.example/x"},
        {"http://localhost:3000/x", "http://localhost:3000/x"},
        {"ftp://files.example/x", "https://notara.example/app/meetings/a%2Fb"},
        {nullptr, "https://notara.example/app/meetings/a%2Fb"},
    };
    summary.id = "a/b";
    for (const auto& [url, expected] : cases) {
        summary.url = url ? URL::parse(url) : std::nullopt;
        EXPECT_EQ(summary.pageURL(app).text(), expected) << (url ? url : "none");
    }
}

TEST(TranscriptCoding, SegmentsRoundTripAndRefuseOtherSpeakers) {
    const Segment segment{3, 2100, 5200, Speaker::them, "Hello"};
    EXPECT_EQ(TranscriptCoding::encode(segment).serialized(),
              R"({"endedMs":5200,"seq":3,"speaker":"them","startedMs":2100,"text":"Hello"})");
    EXPECT_EQ(TranscriptCoding::decodeSegment(TranscriptCoding::encode(segment)), segment);
    for (const char* text :
         {R"({"seq":1,"startedMs":0,"endedMs":1,"speaker":"user","text":"x"})",
          R"({"seq":1,"startedMs":0,"endedMs":1,"speaker":"me"})",
          R"({"seq":"1","startedMs":0,"endedMs":1,"speaker":"me","text":"x"})",
          R"({"seq":1.5,"startedMs":0,"endedMs":1,"speaker":"me","text":"x"})"}) {
        EXPECT_THROW(TranscriptCoding::decodeSegment(json(text)), DecodingError) << text;
    }
}

TEST(TranscriptCoding, TokensDecodeFlatNestedAndWithRealtimeAddress) {
    const auto now = at(1000s);
    const std::pair<const char*, TranscriptionToken> cases[] = {
        {R"({"value":"a","expiresAt":"2025-03-04T09:30:00Z","model":"m"})",
         {"a", at(march4at0930), "m", std::nullopt}},
        {R"({"model":"m","client_secret":{"value":"b","expires_at":1741080600}})",
         {"b", at(march4at0930), "m", std::nullopt}},
        {R"({"value":"c"})", {"c", now + 600s, std::nullopt, std::nullopt}},
        {R"({"value":"d","expiresAt":"soon","url":"wss://rt.example/v1"})",
         {"d", now + 600s, std::nullopt, "wss://rt.example/v1"}},
        {R"({"value":"e","url":5,"realtimeUrl":"ws://localhost:9/x"})",
         {"e", now + 600s, std::nullopt, "ws://localhost:9/x"}},
        {R"({"value":"f","realtime_url":"anything at all"})",
         {"f", now + 600s, std::nullopt, "anything at all"}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(TranscriptCoding::decodeTranscriptionToken(json(text), now), expected) << text;
    }
    for (const char* text :
         {R"({"client_secret":{"expires_at":1},"value":"top"})", R"({"value":1})", "[]"}) {
        EXPECT_THROW(TranscriptCoding::decodeTranscriptionToken(json(text), now), DecodingError)
            << text;
    }
}

}  // namespace
}  // namespace tessarin
