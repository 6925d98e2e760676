#include <chrono>

#include <gtest/gtest.h>

#include "core/api/calendar_event.hpp"
#include "core/api/chunk_response.hpp"
#include "core/api/created_meeting.hpp"
#include "core/api/decoding_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/api/lenient_string.hpp"
#include "core/api/me.hpp"
#include "core/api/meeting_list.hpp"
#include "core/api/meeting_summary.hpp"
#include "core/api/transcript_coding.hpp"
#include "core/api/upcoming_response.hpp"
#include "core/json/json_value.hpp"

using namespace std::chrono_literals;
using std::chrono::system_clock;

namespace tessarin {
namespace {

JSONValue json(const std::string& text) {
    return JSONValue::parse(text).value();
}

system_clock::time_point at(std::chrono::nanoseconds since) {
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(since));
}

// 2025-03-04T00:00:00Z and 09:30 that day.
constexpr std::chrono::seconds march4{1741046400};
constexpr std::chrono::seconds nine30{1741080600};

// Numbers are seconds, or milliseconds above 1e11.
TEST(FlexibleDate, DecodesNumbersAndTheThreeTextFormsUpToEachFieldsLimit) {
    const std::optional<system_clock::time_point> no;
    // clang-format off
    const std::pair<const char*, std::optional<system_clock::time_point>> cases[] = {
        {"1741080600", at(nine30)}, {"1741080600000", at(nine30)},
        {"1741080600.5", at(nine30 + 500ms)}, {"100000000001", at(100000000s + 1ms)},
        {"100000000000", no},  // 1e11 seconds is past what the clock holds, and not yet ms
        {R"("2025-03-04T09:30:00Z")", at(nine30)},
        {R"("2025-03-04T09:30:00.250Z")", at(nine30 + 250ms)},
        {R"("2025-03-04T09:30:00.123456789Z")", at(nine30 + 123456789ns)},
        {R"("2025-03-04T09:30:00.1234567891Z")", no}, {R"("2025-03-04T09:30:00.Z")", no},
        {R"("2025-03-04T10:30:00+0100")", at(nine30)}, {R"("2025-03-04T05:00:00-04:30")", at(nine30)},
        {R"("2025-03-05T09:29:00+2359")", at(nine30)}, {R"("2025-03-04T09:30:00+2400")", no},
        {R"("2025-03-04T09:30:00+0060")", no}, {R"("2025-03-04T09:30:00+01-00")", no},
        {R"("2025-03-04T23:59:60Z")", at(march4 + 24h)}, {R"("2025-03-04T09:30:61Z")", no},
        {R"("2025-03-04T09:59:00Z")", at(nine30 + 29min)}, {R"("2025-03-04T09:60:00Z")", no},
        {R"("2025-03-04T23:00:00Z")", at(march4 + 23h)}, {R"("2025-03-04T24:00:00Z")", no},
        {R"("2025-03-04")", at(march4)}, {R"("2200-01-01")", at(7258118400s)},
        {R"("9999-12-31")", no}, {R"("2025-02-30")", no}, {R"("2025-03-04T09:30:00")", no},
        {R"("2025-03-04T09:30Z")", no}, {R"("1741080600")", no}, {R"("")", no}, {"true", no},
        {"[]", no}, {"-1e300", no}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        if (expected) {
            EXPECT_EQ(FlexibleDate::decode(json(text)).date, *expected) << text;
        } else {
            EXPECT_THROW(FlexibleDate::decode(json(text)), DecodingError) << text;
        }
    }
    EXPECT_EQ(FlexibleDate::format(at(nine30 + 999ms)), "2025-03-04T09:30:00Z");
    EXPECT_EQ(FlexibleDate::format(at(0s)), "1970-01-01T00:00:00Z");
}

TEST(CalendarEvent, DecodesTheLenientForms) {
    auto event = CalendarEvent::decode(json(R"({"id":17,"title":null,"start":"2025-03-04"})"));
    EXPECT_EQ(event.id, "17");
    EXPECT_EQ(event.title, "Untitled meeting");
    EXPECT_EQ(event.start, at(march4));
    EXPECT_FALSE(event.end);
    EXPECT_TRUE(event.attendees.empty());
    auto google = CalendarEvent::decode(json(
        R"({"id":"g","summary":"Sync","start":"bad","startsAt":1741080600,"endsAt":"2025-03-04T10:00:00Z",
            "attendees":["a@x.example",{"email":"b@x.example","displayName":"Bea","self":true}],
            "hangoutLink":"https://meet.example/abc"})"));
    EXPECT_EQ(google.title, "Sync");
    EXPECT_EQ(google.start, at(nine30));
    EXPECT_EQ(google.end, at(nine30 + 30min));
    EXPECT_EQ(google.attendees, (std::vector<Attendee>{{"a@x.example", std::nullopt, std::nullopt},
                                                       {"b@x.example", "Bea", true}}));
    EXPECT_EQ(google.conferenceURL, URL::parse("https://meet.example/abc"));
    // An empty conference link hides the other; one bad attendee drops the list.
    auto odd = CalendarEvent::decode(json(
        R"({"id":1,"start":0,"conferenceUrl":"","hangoutLink":"https://m.example/x","attendees":["a",5]})"));
    EXPECT_FALSE(odd.conferenceURL);
    EXPECT_TRUE(odd.attendees.empty());
}

// A link makes a meeting; else two people, not counting attendees that are the user.
TEST(CalendarEvent, IsMeetingFollowsLinksAndAttendees) {
    // clang-format off
    const std::tuple<const char*, bool, bool> cases[] = {
        // attendees, link, is a meeting
        {R"([])", true, true}, {R"([])", false, false}, {R"(["a","b"])", false, true},
        {R"(["a"])", false, false}, {R"([{"email":"a","self":true},{"email":"b","self":true}])", false, false},
        {R"([{"email":"a","self":true},"b"])", false, true},
        {R"([{"email":"a","self":false}])", false, true}};
    // clang-format on
    for (const auto& [attendees, link, expected] : cases) {
        const std::string text = std::string(R"({"id":1,"start":0,"attendees":)") + attendees +
                                 (link ? R"(,"conferenceUrl":"https://zoom.example/j/1"})" : "}");
        EXPECT_EQ(CalendarEvent::decode(json(text)).isMeeting(), expected) << text;
    }
}

TEST(UpcomingResponse, DecodesArraysEnvelopesAndConnectionState) {
    // clang-format off
    const std::tuple<const char*, std::size_t, bool, bool> cases[] = {
        // JSON, events, connected, has a connect URL
        {R"([{"id":1,"start":0}])", 1, true, false}, {R"({})", 0, true, false},
        {R"({"connectUrl":"https://n.example/c"})", 0, false, true},
        {R"({"connectUrl":"","connected":false})", 0, false, false},
        {R"({"connectUrl":"https://n.example/c","googleConnected":true})", 0, true, true},
        {R"({"events":[{"id":1,"start":0}],"connected":false})", 1, false, false},
        {R"({"events":"x","items":[{"id":1,"start":0},{"id":2,"start":0}]})", 2, true, false},
        {R"({"events":[{"id":1}]})", 0, true, false}};
    // clang-format on
    for (const auto& [text, events, connected, hasConnectURL] : cases) {
        auto response = UpcomingResponse::decode(json(text));
        EXPECT_EQ(response.events.size(), events) << text;
        EXPECT_EQ(response.connected, connected) << text;
        EXPECT_EQ(response.connectURL.has_value(), hasConnectURL) << text;
    }
}

TEST(Me, DecodesNestedAndFlatProfiles) {
    EXPECT_EQ(
        Me::decode(json(R"({"user":{"id":5,"email":"e@x.example","name":7},"googleConnected":false,
                                  "google":{"connected":true,"connectUrl":"https://c.example"}})")),
        (Me{"5", "e@x.example", std::nullopt, true, URL::parse("https://c.example")}));
    EXPECT_EQ(Me::decode(json(R"({"id":"u1","connected":true,"connectUrl":""})")),
              (Me{"u1", std::nullopt, std::nullopt, true, std::nullopt}));
    EXPECT_EQ(Me::decode(json(R"({"user":"x","id":true,"google":{"connected":"yes"}})")), Me{});
}

// An array, or an object holding the list in "meetings" or, without that, in "items".
TEST(MeetingList, DecodesTheArrayAndBothEnvelopes) {
    // clang-format off
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"[]", {}}, {R"([{"id":1},{"id":"b"}])", {"1", "b"}}, {R"({"meetings":[]})", {}}, {R"({"items":[]})", {}},
        {R"({"meetings":[{"id":2}],"items":[{"id":3}]})", {"2"}}, {R"({"items":[{"id":3}]})", {"3"}}};
    // clang-format on
    for (const auto& [text, ids] : cases) {
        std::vector<std::string> got;
        for (const auto& meeting : MeetingList::decode(json(text)).meetings) {
            got.push_back(meeting.id);
        }
        EXPECT_EQ(got, ids) << text;
    }
}

// A chunk reply without a segment of the protocol's shape has no segment; it is not a failure.
// (A whole segment: the client's upload test.)
TEST(ChunkResponse, IsASegmentOrNothing) {
    for (const char* body :
         {"{}", "[]", "3", R"({"segment":{"seq":1}})",
          R"({"segment":{"seq":1,"startedMs":0,"endedMs":1,"speaker":"user","text":"x"}})"}) {
        EXPECT_EQ(ChunkResponse::decode(json(body)).segment, std::nullopt) << body;
    }
}

// Every spelling of the expiry and the realtime address; without an expiry, ten minutes from now.
TEST(TranscriptCoding, TokensDecodeFlatNestedAndWithTheirRealtimeAddress) {
    const auto now = at(1000s), later = now + 600s;
    const std::optional<std::string> none;
    // clang-format off
    const std::pair<const char*, TranscriptionToken> cases[] = {
        {R"({"value":"a","expiresAt":"2025-03-04T09:30:00Z","model":"m"})", {"a", at(nine30), "m", none}},
        {R"({"model":"m","client_secret":{"value":"b","expires_at":1741080600}})", {"b", at(nine30), "m", none}},
        {R"({"value":"c"})", {"c", later, none, none}},
        {R"({"value":"d","expiresAt":"soon","url":"wss://rt.example/v1"})", {"d", later, none, "wss://rt.example/v1"}},
        {R"({"value":"e","url":5,"realtimeUrl":"ws://localhost:9/x"})", {"e", later, none, "ws://localhost:9/x"}},
        {R"({"value":"f","realtime_url":"anything at all"})", {"f", later, none, "anything at all"}}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(TranscriptCoding::decodeTranscriptionToken(json(text), now), expected) << text;
    }
}

// Links of the web app's own pages: relative ones resolve against the app, absolute ones stay only
// when they are web links; anything else falls back to the page named by the escaped id.
TEST(MeetingSummary, PageURLsResolveRelativeLinksAndKeepOnlyWebLinks) {
    MeetingSummary summary = MeetingSummary::decode(json(R"({"id":"a/b","url":"m/abc"})"));
    const URL app = *URL::parse("https://notara.example/app/");
    const std::pair<const char*, const char*> cases[] = {
        {"m/abc", "https://notara.example/app/m/abc"},
        {"/m/abc", "https://notara.example/m/abc"},
        {"https://other.example/x", "https://other.example/x"},
        {"http://localhost:3000/x", "http://localhost:3000/x"},
        {"ftp://files.example/x", "https://notara.example/app/meetings/a%2Fb"},
        {"javascript:alert(1)", "https://notara.example/app/meetings/a%2Fb"},
        {nullptr, "https://notara.example/app/meetings/a%2Fb"},
    };
    for (const auto& [url, expected] : cases) {
        summary.url = url ? URL::parse(url) : std::nullopt;
        EXPECT_EQ(summary.pageURL(app).text(), expected) << (url ? url : "none");
    }
}

// A required field missing, null or of another type, or another shape altogether.
TEST(Models, RefuseWhatTheyCannotDecode) {
    using Decode = std::function<void(const JSONValue&)>;
    const auto now = at(1000s);
    // clang-format off
    const std::pair<Decode, std::vector<const char*>> models[] = {
        {[](auto& v) { LenientString::decode(v); }, {"1.5", "true", "null", "{}"}},
        {[](auto& v) { CalendarEvent::decode(v); }, {R"({"start":0})", R"({"id":null,"start":0})",
            R"({"id":1.5,"start":0})", R"({"id":1})", R"({"id":1,"start":"x","startsAt":"y"})", "[]"}},
        {[](auto& v) { UpcomingResponse::decode(v); }, {R"([{"id":1}])", "7"}},
        {[](auto& v) { Me::decode(v); }, {"[]"}},
        {[](auto& v) { CreatedMeeting::decode(v); }, {R"({"meeting":{},"id":"top"})", "[]"}},
        {[](auto& v) { MeetingList::decode(v); }, {R"({"meetings":null})", R"([{"title":"no id"}])", "7"}},
        {[](auto& v) { TranscriptCoding::decodeSegment(v); }, {
            R"({"seq":1,"startedMs":0,"endedMs":1,"speaker":"user","text":"x"})",
            R"({"seq":1,"startedMs":0,"endedMs":1,"speaker":"me"})",
            R"({"seq":"1","startedMs":0,"endedMs":1,"speaker":"me","text":"x"})",
            R"({"seq":1.5,"startedMs":0,"endedMs":1,"speaker":"me","text":"x"})"}},
        {[now](auto& v) { TranscriptCoding::decodeTranscriptionToken(v, now); },
         {R"({"client_secret":{"expires_at":1},"value":"top"})", R"({"value":1})", "[]"}}};
    // clang-format on
    for (const auto& [decode, texts] : models) {
        for (const char* text : texts) {
            EXPECT_THROW(decode(json(text)), DecodingError) << text;
        }
    }
}

}  // namespace
}  // namespace tessarin
