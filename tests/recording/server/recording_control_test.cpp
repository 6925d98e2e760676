#include <string>
#include <utility>
#include <vector>

#include <cmath>

#include "core/api/api_error.hpp"
#include "core/api/flexible_date.hpp"
#include "recording/capture/capture_error.hpp"
#include "support/pending.hpp"
#include "support/server_fixture.hpp"

namespace tessarin::test {
namespace {

using Event = RecordingEvent;

const std::string micDenied =
    "Tessarin needs the microphone. Check in your sound settings that an input device is connected "
    "and enabled.";

// The state line; `meeting` is empty when nothing records.
std::string state(const std::string& meeting, const std::string& transcription = "live",
                  const std::string& mode = "realtime", const std::string& mic = "ok",
                  const std::string& system = "ok") {
    return R"({"event":"state",)" +
           (meeting.empty() ? std::string() : R"("meetingId":")" + meeting + R"(",)") +
           R"("mic":")" + mic + R"(","mode":")" + mode + R"(","recording":)" +
           (meeting.empty() ? "false" : "true") + R"(,"system":")" + system +
           R"(","transcription":")" + transcription + R"("})";
}
std::string error(const std::string& code, const std::string& message) {
    return R"({"code":")" + code + R"(","event":"error","fatal":false,"message":")" + message +
           R"("})";
}

struct RecordingControlTest : ServerFixture {
    std::string params(const std::string& meeting = "m1", const std::string& more = "") {
        return R"({"meetingId":")" + meeting + R"(","apiBase":")" + notara.url() +
               R"(","accessToken":"dev-token")" + more + "}";
    }
    // A running recording, checked by its exact start lines.
    void startRecording(const std::string& meeting = "m1") {
        send(request("record.start", params(meeting)));
        const std::string startedAt = FlexibleDate::format(environment().now());
        micPrompt->resume(true);
        ASSERT_TRUE(driveUntilLine("startedAt"));
        EXPECT_EQ(takeLinesWithoutLevels(),
                  (std::vector<std::string>{state(meeting),
                                            success(R"({"startedAt":")" + startedAt + R"("})")}));
        EXPECT_EQ(logs.back(), "recording started (realtime)");
    }
    std::vector<std::string> takeLinesWithoutLevels() {
        auto taken = takeLines();
        std::erase_if(taken, [](const std::string& line) {
            return line.starts_with(R"({"event":"levels")");
        });
        return taken;
    }
};

TEST_F(RecordingControlTest,
       RecordStartChecksItsParametersInOrderAndOneAtATimeBeforeAskingForTheMic) {
    const std::string apiBase = "apiBase must be an https URL (http only for localhost)";
    const std::pair<std::string, std::string> cases[] = {
        {R"({})", "meetingId is required"},
        {R"({"meetingId":""})", "meetingId is required"},
        {R"({"meetingId":7,"apiBase":"https://n.example","accessToken":"t"})",
         "meetingId is required"},
        {R"({"meetingId":"m"})", apiBase},
        {R"({"meetingId":"m","apiBase":"http://notara.example"})", apiBase},
        {R"({"meetingId":"m","apiBase":"notara.example"})", "accessToken is required"},
        {R"({"meetingId":"m","apiBase":"http://a.localhost:1","accessToken":""})",
         "accessToken is required"},
    };
    for (const auto& [given, message] : cases) {
        send(request("record.start", given));
        EXPECT_EQ(takeLines(), std::vector<std::string>{refusal("bad_params", message)}) << given;
    }
    EXPECT_EQ(micRequests, 0);
    send(request("record.start", params()));
    send(request("record.start", params(), 2));
    EXPECT_EQ(takeLines(), std::vector<std::string>{refusal("busy", "Already recording", 2)});
}

TEST_F(RecordingControlTest, EveryOtherRecordingEventBecomesItsLine) {
    startRecording();
    const std::vector<std::pair<Event::Value, std::vector<std::string>>> cases = {
        {Event::Delta{Speaker::me, "Hel", "item_1"},
         {R"({"event":"transcript.delta","itemId":"item_1","speaker":"me","text":"Hel"})"}},
        {Event::TranscriptSegment{Segment{8402, 2100, 5200, Speaker::them, "Hello"}},
         {R"({"endedMs":5200,"event":"transcript.segment","seq":8402,"speaker":"them","startedMs":2100,"text":"Hello"})"}},
        {Event::TranscriptionProblem{Speaker::me, "Connection lost"},
         {error("transcription", "Your mic: Connection lost"), state("m1", "reconnecting")}},
        {Event::TranscriptionProblem{Speaker::me, "Still lost"},
         {error("transcription", "Your mic: Still lost")}},
        {Event::TranscriptionProblem{Speaker::them, "Gone"},
         {error("transcription", "Their side: Gone")}},
        {Event::TranscriptionProblem{Speaker::me, std::nullopt}, {}},
        {Event::TranscriptionProblem{Speaker::them, std::nullopt}, {state("m1")}},
        {Event::CatchingUp{true}, {state("m1", "catching_up")}},
        {Event::TranscriptionProblem{Speaker::them, "Gone"},
         {error("transcription", "Their side: Gone"), state("m1", "reconnecting")}},
        {Event::TranscriptionProblem{Speaker::them, std::nullopt}, {state("m1", "catching_up")}},
        {Event::CatchingUp{false}, {state("m1")}},
        {Event::CatchUpProblem{Speaker::me, "lost"},
         {error("transcription", "Your mic (catching up): lost")}},
        {Event::CaptureProblem{Speaker::them, "No output"}, {error("capture", "No output")}},
        {Event::CaptureProblem{Speaker::them, std::nullopt}, {}},
        {Event::Levels{0.12345, 0.5}, {R"({"event":"levels","mic":0.123,"system":0.5})"}},
        {Event::Levels{0.0006, 1.0}, {R"({"event":"levels","mic":0.001,"system":1})"}},
        {Event::Levels{std::nan(""), 0.5}, {"{}"}},  // a line that cannot be written
        {Event::SaveProblem{"Not saved"}, {error("save_failed", "Not saved")}},
        {Event::FallbackBacklog{Speaker::them, "Behind"},
         {error("fallback_backlog", "Their side: Behind")}},
        {Event::Health{SourceHealth::error, SourceHealth::silent},
         {state("m1", "live", "realtime", "error", "silent")}},
        {Event::Mode{RecordingMode::fallback},
         {state("m1", "live", "fallback", "error", "silent")}},
    };
    for (const auto& [event, expected] : cases) {
        server->recordingEvent(Event{event});
        EXPECT_EQ(takeLines(), expected) << (expected.empty() ? "" : expected[0]);
    }
}

// A start ends without recording, leaving the server idle: when the mic is refused, when a stop
// comes while the mic prompt is open (granted or not) or while the recording starts, and when
// capture fails.
TEST_F(RecordingControlTest, AStartThatEndsWithoutRecordingSaysWhy) {
    enum class StopAt { never, prompt, starting };
    const std::string cancelled =
        refusal("cancelled", "record.stop arrived before the recording started");
    const std::tuple<StopAt, bool, std::optional<std::string>, std::string> cases[] = {
        {StopAt::never, false, std::nullopt, refusal("mic_denied", micDenied)},
        {StopAt::prompt, false, std::nullopt, refusal("mic_denied", micDenied)},
        {StopAt::prompt, true, std::nullopt, cancelled},
        {StopAt::starting, true, std::nullopt, cancelled},
        {StopAt::never, true, "No microphone", refusal("capture_failed", "No microphone")},
    };
    for (const auto& [stopAt, granted, micFailure, answer] : cases) {
        auto gate = std::make_shared<OneShot<void>>(io.get_executor());
        prepare = [gate](ScriptedChannel& channel) { channel.startGate = gate; };
        mic.startFailure = micFailure;
        micPrompt = std::make_shared<OneShot<bool>>(io.get_executor());
        makeServer(environment());
        const int opened = mic.opened();
        send(request("record.start", params()));
        if (stopAt == StopAt::starting) {
            micPrompt->resume(true);
            clock->runReady();
        }
        if (stopAt != StopAt::never) {
            send(request("record.stop", "{}", 2));
            EXPECT_EQ(takeLines(),
                      std::vector<std::string>{success(R"({"cancelled":true,"segments":0})", 2)});
        }
        micPrompt->resume(granted);
        gate->resume();
        ASSERT_TRUE(driveUntilLine(R"("id":1)"));
        EXPECT_EQ(takeLines(), std::vector<std::string>{answer}) << answer;
        EXPECT_EQ(server->state(), HelperServer::State::idle);
        EXPECT_EQ(mic.opened() - opened, micFailure ? 1 : 0) << answer;
        if (stopAt == StopAt::starting) {
            EXPECT_TRUE(channel(Speaker::me).cancelled);
        }
    }
}

TEST_F(RecordingControlTest, AFailedStartIsReportedByItsCause) {
    const std::vector<std::pair<std::exception_ptr, HelperError>> cases = {
        {std::make_exception_ptr(APIError::server(401, {}, {})),
         HelperError("http_401", "Notara answered HTTP 401.")},
        {std::make_exception_ptr(APIError::server(402, "quota_exceeded", "Out of minutes")),
         HelperError("quota_exceeded", "Out of minutes")},
        {std::make_exception_ptr(APIError::signedOut()),
         HelperError("signed_out", "You're signed out. Sign in again.")},
        {std::make_exception_ptr(APIError::accessLogin()),
         HelperError("access_login", APIError::accessLogin().what())},
        {std::make_exception_ptr(APIError::decoding("TranscriptionToken")),
         HelperError("start_failed", "Notara sent something unexpected (TranscriptionToken).")},
        {std::make_exception_ptr(CaptureError("No microphone")),
         HelperError("capture_failed", "No microphone")},
        {std::make_exception_ptr(std::runtime_error("boom")), HelperError("start_failed", "boom")},
    };
    for (const auto& [cause, reported] : cases) {
        EXPECT_EQ(HelperServer::startError(cause), reported) << reported.code();
    }
}

TEST_F(RecordingControlTest, OneStopAtATimeAndTheExitWaitsForIt) {
    auto finishing = std::make_shared<OneShot<void>>(io.get_executor());
    prepare = [&](ScriptedChannel& channel) { channel.finishGate = finishing; };
    startRecording();
    send(request("record.stop", "{}", 2));
    send(request("record.stop", "{}", 3));
    send(request("record.start", params(), 4));
    EXPECT_EQ(takeLines(), (std::vector<std::string>{refusal("not_recording", "Not recording", 3),
                                                     refusal("busy", "Already recording", 4)}));
    Pending<void> exiting(io, server->shutdown());
    clock->runReady();
    EXPECT_FALSE(exiting.done());
    finishing->resume();
    ASSERT_TRUE(drive([&] { return exiting.done(); }));
    EXPECT_EQ(std::count(logs.begin(), logs.end(),
                         "recording stopped (0 segments; echo: 0 dropped, 0 trimmed)"),
              1);
    send(request("record.start", params(), 5));
    EXPECT_EQ(takeLines().back(), refusal("shutting_down", "The helper is exiting", 5));
}

// The exit's stop has nobody to answer: what it could not save goes out in an event.
TEST_F(RecordingControlTest, StopAndExitSaveTheRecordingAndHandBackWhatWasRefused) {
    const std::string unsaved =
        R"([{"endedMs":2000,"seq":4002,"speaker":"them","startedMs":1000,"text":"Last words"}])";
    const std::tuple<bool, bool, std::string> cases[] = {
        {true, false, success(R"({"finished":true,"segments":1})", 2)},
        {false, false, state("")},
        {false, true,
         R"({"event":"transcript.unsaved","meetingId":"m2","segments":)" + unsaved + "}"},
        {true, true, success(R"({"finished":false,"segments":0,"unsaved":)" + unsaved + "}", 2)}};
    for (const auto& [byStop, refused, last] : cases) {
        const std::string meeting = refused ? "m2" : "m1";
        notara.set(JSONValue::object(
            {{"appendFaultShare", refused ? 1.0 : 0.0}, {"appendFaultStatus", 422}}));
        micPrompt = std::make_shared<OneShot<bool>>(io.get_executor());
        makeServer(environment());
        made.clear();
        startRecording(meeting);
        say(Speaker::them, 1000, 2000, "Last words");
        if (byStop) {
            send(request("record.stop", "{}", 2));
            ASSERT_TRUE(driveUntilLine(R"("id":2)"));
        } else {
            Pending<void> exiting(io, server->shutdown());
            ASSERT_TRUE(drive([&] { return exiting.done(); }));
        }
        const auto written = takeLinesWithoutLevels();
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.back(), last);
        EXPECT_EQ(notara.finished(meeting), !refused);
        EXPECT_EQ(notara.segments(meeting).size(), refused ? 0u : 1u);
    }
}

}  // namespace
}  // namespace tessarin::test
