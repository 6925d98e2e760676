#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "recording/selftest/self_test.hpp"
#include "recording/selftest/self_test_command.hpp"
#include "recording/selftest/self_test_meter.hpp"
#include "recording/server/helper_server.hpp"
#include "support/audio_signals.hpp"
#include "support/pending.hpp"
#include "support/scripted_capture.hpp"

namespace tessarin::test {
namespace {

using std::chrono::seconds;
using Status = SelfTest::Status;
using Audio = std::function<std::vector<std::int16_t>(int second)>;

const std::string accessOff = "Microphone access is off: Settings → Sound → Input";
const std::string digitalSilence =
    "Only digital silence: play something, or choose the output device in Settings → Sound → "
    "Output";

Audio speech(std::int64_t samples = 24000) {
    return [samples](int second) { return speechSamples(samples, second); };
}
Audio quiet() {
    return [](int second) { return quietSamples(24000, second); };
}
Audio zeros() {
    return [](int) { return std::vector<std::int16_t>(24000); };
}

// Scripted sources behind the recording's factories, ticks on a manual clock.
struct SelfTestFixture : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    ScriptedCapture mic, system;
    bool micAllowed = true;
    std::vector<SelfTest::Second> ended;

    RecordingPipeline::Dependencies dependencies() {
        RecordingPipeline::Dependencies deps;
        deps.makeMic = [this](bool, auto onAudio, auto onInterrupted) {
            return mic.open(std::move(onAudio), std::move(onInterrupted));
        };
        deps.makeSystem = [this](auto onAudio, auto onInterrupted) {
            return system.open(std::move(onAudio), std::move(onInterrupted));
        };
        return deps;
    }
    SelfTest selfTest() {
        return SelfTest(
            dependencies(), false, [this]() -> Awaitable<bool> { co_return micAllowed; },
            SelfTest::tenthOfASecond(clock));
    }
    // Plays each second's audio as ten buffers, then lets that second's ticks pass.
    void play(int count, const Audio& micAudio, const Audio& systemAudio) {
        for (int second = 1; second <= count; ++second) {
            for (auto [device, audio] : {std::pair{&mic, &micAudio}, {&system, &systemAudio}}) {
                const auto bytes = bytesOf((*audio)(second));
                device->play(piecesOf(bytes, std::max<std::size_t>(bytes.size() / 20 * 2, 2)));
                device->waitUntilDelivered();
            }
            clock->advance(seconds(1));
        }
    }
    SelfTest::Report run(int count, const Audio& micAudio, const Audio& systemAudio) {
        SelfTest test = selfTest();
        Pending<SelfTest::Report> report(
            io, test.run(count, {}, [this](const SelfTest::Second& s) { ended.push_back(s); }));
        clock->runReady();
        play(count, micAudio, systemAudio);
        return report.get();
    }
};

TEST_F(SelfTestFixture, JudgesEachSourceByWhatItDelivered) {
    const std::string noOutput = "There's no audio output device.";
    const std::string micGone = "The microphone stopped: gone", systemGone = "Lost the other side";
    struct Case {
        Audio micAudio, systemAudio;
        bool allowed;
        std::optional<std::string> systemFailure;
        bool interrupted;
        Status mic, system;
        std::optional<std::string> micMessage, systemMessage;
    };
    const Case cases[] = {
        {speech(), speech(), true, {}, false, Status::ok, Status::ok, {}, {}},
        {quiet(), zeros(), true, {}, false, Status::silent, Status::denied, {}, digitalSilence},
        {speech(), quiet(), false, {}, false, Status::denied, Status::silent, accessOff, {}},
        {speech(), speech(), true, noOutput, false, Status::ok, Status::error, {}, noOutput},
        {quiet(), zeros(), true, {}, true, Status::silent, Status::denied, micGone, systemGone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        micAllowed = c.allowed;
        system.startFailure = c.systemFailure;
        const int micOpened = mic.opened();
        SelfTest test = selfTest();
        Pending<SelfTest::Report> pending(io, test.run(2));
        clock->runReady();
        if (c.interrupted) {
            mic.interrupt(micGone);
            system.interrupt(systemGone);
        }
        play(2, c.micAudio, c.systemAudio);
        const SelfTest::Report report = pending.get();
        EXPECT_EQ(report.mic.status, c.mic);
        EXPECT_EQ(report.system.status, c.system);
        EXPECT_EQ(report.mic.message, c.micMessage);
        EXPECT_EQ(report.system.message, c.systemMessage);
        EXPECT_EQ(report.passed(), c.mic == Status::ok && c.system == Status::ok);
        EXPECT_EQ(mic.opened() - micOpened, c.allowed ? 1 : 0);
        EXPECT_FALSE(mic.running() || system.running());
    }
}

// The first second is for starting up; from the second on, less than 0.7 s of audio in a second
// is a dropout, and one dropout fails the test.
TEST_F(SelfTestFixture, CountsSecondsWithTooLittleAudioFromTheSecondOn) {
    const Audio audio = [](int second) {
        const std::int64_t samples[] = {0, 0, 16800, 16799, 24000};
        return speechSamples(samples[second], second);
    };
    const SelfTest::Report report = run(4, speech(), audio);
    EXPECT_EQ(report.mic.dropouts, 0);
    EXPECT_EQ(report.system.dropouts, 1);
    EXPECT_EQ(report.system.status, Status::ok);
    EXPECT_FALSE(report.passed());
    ASSERT_EQ(ended.size(), 4u);
    EXPECT_EQ(ended[0].second, 1);
    EXPECT_EQ(ended[0].system, 0);
    EXPECT_EQ(ended[3].second, 4);
    EXPECT_GT(ended[3].system, SelfTest::okLevel);
    EXPECT_EQ(report.system.totalSamples, 16800 + 16799 + 24000);
}

TEST_F(SelfTestFixture, AStoppedTestStopsItsSourcesAndStillReports) {
    SelfTest test = selfTest();
    Pending<SelfTest::Report> pending(io, test.run(60));
    clock->runReady();
    play(2, speech(), speech());
    pending.cancel();
    const SelfTest::Report report = pending.get();
    EXPECT_EQ(report.seconds, 60);
    EXPECT_EQ(report.mic.status, Status::ok);
    EXPECT_EQ(report.mic.totalSamples, 48000);
    EXPECT_FALSE(mic.running() || system.running());
}

TEST(SelfTestMeterTest, CountsClippedSamplesFromMagnitude32700) {
    SelfTestMeter meter;
    meter.feed(bytesOf({32700, -32700, 32699, -32699, 0}));
    meter.feed({});
    const auto totals = meter.totals();
    EXPECT_EQ(totals.clipped, 2);
    EXPECT_EQ(totals.samples, 5);
    EXPECT_TRUE(totals.anyNonZero);
    EXPECT_GT(meter.takeLevel(), 0.9);
    EXPECT_EQ(meter.takeLevel(), 0);  // taken
}

TEST(SelfTestReportTest, TextAndJSONForms) {
    SelfTest::Report report;
    report.seconds = 8;
    report.mic = {Status::ok, 0.0625, 44100.9, "Microphone", 1, 1000, 0, std::nullopt};
    report.system = {
        Status::silent, 0.1, std::nullopt, std::nullopt, 2, 1000, 2, "Lost the other side: gone"};
    EXPECT_FALSE(report.mic.clipping());  // one in a thousand is not clipping
    EXPECT_TRUE(report.system.clipping());
    EXPECT_EQ(report.text(),
              "mic: ok · peak 0.06\n"
              "system audio: silent · peak 0.10 · CLIPPING (2 samples) · 2 dropout second(s) · "
              "Lost the other side: gone\n"
              "CHECK THE LINES ABOVE");
    EXPECT_EQ(*report.json().serialized(),
              R"({"mic":{"clippedSamples":1,"clipping":false,"device":"Microphone",)"
              R"("dropouts":0,"peak":0.063,"sampleRate":44100,"status":"ok"},"passed":false,)"
              R"("seconds":8,"system":{"clippedSamples":2,"clipping":true,"dropouts":2,)"
              R"("message":"Lost the other side: gone","peak":0.1,"status":"silent"}})");
    report.system = report.mic;
    EXPECT_EQ(report.text().substr(report.text().rfind('\n') + 1), "PASS");
}

TEST(SelfTestCommandTest, ParsesSecondsFrom1To60AndTheEchoCancellationFlag) {
    using Args = std::vector<std::string>;
    for (const Args& bad :
         {Args{"--selftest", "--seconds", "0"}, Args{"--seconds", "61"}, Args{"--seconds", "x"},
          Args{"--seconds", "-5"}, Args{"--seconds", "5s"}, Args{"--selftest", "--seconds"}}) {
        EXPECT_FALSE(SelfTestCommand::parse(bad)) << bad.back();
    }
    const auto defaults = SelfTestCommand::parse(Args{"--selftest"});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->seconds, 8);
    EXPECT_FALSE(defaults->echoCancellation);
    const auto given =
        SelfTestCommand::parse(Args{"--echo-cancellation", "--selftest", "--seconds", "60"});
    ASSERT_TRUE(given);
    EXPECT_EQ(given->seconds, 60);
    EXPECT_TRUE(given->echoCancellation);
    EXPECT_EQ(SelfTestCommand::parse(Args{"--seconds", "1"})->seconds, 1);
}

TEST(SelfTestCommandTest, PrintsBarsOfTwentyAndTheSummary) {
    EXPECT_EQ(SelfTestCommand::secondLine({3, 0.5, 0}),
              "  3s  mic ██████████·········· 0.50   system ···················· 0.00");
    EXPECT_EQ(SelfTestCommand::bar(0.49), SelfTestCommand::bar(0.5));  // rounded
    EXPECT_EQ(SelfTestCommand::bar(1), "████████████████████");
    SelfTest::Report report;
    report.mic.peak = report.system.peak = 0.9;
    report.mic.sampleRate = 48000;
    report.mic.device = "Microphone";
    report.voiceProcessing = true;
    EXPECT_EQ(SelfTestCommand::summary(report),
              "\nmic:    Microphone, 48000 Hz, voice processing on\nsystem: ?, ?\n" +
                  report.text() + "\n");
}

// selftest.run over the protocol: its checks, a levels event each tick and a progress event each
// second, the report as the answer, and selftest.stop ending it early.
struct SelfTestServerFixture : SelfTestFixture {
    std::vector<std::string> lines, logs;
    std::shared_ptr<HelperServer> server;

    void SetUp() override {
        HelperEnvironment env;
        env.pipeline = dependencies();
        env.requestMic = []() -> Awaitable<bool> { co_return true; };
        env.clock = clock;
        env.selfTestTick = SelfTest::tenthOfASecond(clock);
        server = HelperServer::create(
            io.get_executor(), std::move(env), [this](const std::string& l) { lines.push_back(l); },
            [this](const std::string& m) { logs.push_back(m); });
    }
    void send(std::string line) {
        Task<>::spawn(io.get_executor(), "test", [server = server, line]() -> Awaitable<void> {
            co_await server->handle(line);
        });
        clock->runReady();
    }
    std::size_t count(const std::string& text) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
};

TEST_F(SelfTestServerFixture, RefusesSecondsOutside1To60) {
    for (const std::string seconds : {"0", "61", "2.5", "\"5\"", "true"}) {
        send(R"({"id":1,"cmd":"selftest.run","params":{"seconds":)" + seconds + "}}");
    }
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string& line : lines) {
        EXPECT_EQ(
            line,
            R"({"error":{"code":"bad_params","message":"seconds must be 1–60"},"id":1,"ok":false})");
    }
}

TEST_F(SelfTestServerFixture, RunsReportsProgressAndAnswersWithTheReport) {
    send(R"({"id":1,"cmd":"selftest.run","params":{"seconds":2.0}})");
    send(R"({"id":2,"cmd":"selftest.run"})");
    send(
        R"({"id":3,"cmd":"record.start","params":{"meetingId":"m","apiBase":"https://a.example","accessToken":"t"}})");
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            R"({"error":{"code":"busy","message":"A self-test is already running"},"id":2,"ok":false})",
            R"({"error":{"code":"busy","message":"A self-test is running"},"id":3,"ok":false})"}));
    play(2, speech(), speech());
    EXPECT_EQ(count(R"("event":"levels")"), 20u);
    EXPECT_EQ(count(R"("event":"selftest.progress")"), 2u);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with(R"({"id":1,"ok":true,"result":{"mic":{)")) << lines.back();
    EXPECT_NE(lines.back().find(R"("passed":true,"seconds":2)"), std::string::npos);
    EXPECT_EQ(logs.back(), "self-test: mic ok, system ok");

    lines.clear();
    send(R"({"id":4,"cmd":"selftest.stop"})");
    EXPECT_EQ(lines, std::vector<std::string>{R"({"id":4,"ok":true,"result":{"stopped":false}})"});
    send(R"({"id":5,"cmd":"selftest.run","params":{"seconds":null}})");
    play(1, speech(), speech());
    send(R"({"id":6,"cmd":"selftest.stop"})");
    clock->runReady();
    EXPECT_EQ(count(R"({"id":6,"ok":true,"result":{"stopped":true}})"), 1u);
    // The stopped run answers with its report, of the 60 seconds it was given.
    EXPECT_EQ(count(R"({"id":5,"ok":true,"result":{"mic":{)"), 1u);
    EXPECT_EQ(count(R"("seconds":60,"system")"), 2u);  // its progress event and its answer
    EXPECT_FALSE(mic.running() || system.running());
}

}  // namespace
}  // namespace tessarin::test
