#include <functional>
#include <vector>

#include "recording/selftest/self_test.hpp"
#include "recording/selftest/self_test_command.hpp"
#include "recording/selftest/self_test_meter.hpp"
#include "support/audio_signals.hpp"
#include "support/pending.hpp"
#include "support/server_fixture.hpp"

namespace tessarin::test {
namespace {

using Status = SelfTest::Status;
// What a source delivers in each second (numbered from 1).
using Audio = std::function<std::vector<std::int16_t>(int second)>;

const Audio speech = [](int second) { return speechSamples(24000, second); };
const Audio quiet = [](int second) { return quietSamples(24000, second); };
const Audio zeros = [](int) { return std::vector<std::int16_t>(24000); };

// Scripted sources behind the recording's factories and the server's, ticks on a manual clock.
struct SelfTestFixture : ServerFixture {
    bool micAllowed = true;

    void SetUp() override {
        ServerFixture::SetUp();
        auto env = environment();
        env.requestMic = []() -> Awaitable<bool> { co_return true; };
        env.selfTestTick = SelfTest::tenthOfASecond(clock);
        makeServer(env);
    }
    // Plays each second's audio as ten buffers, then lets that second's ticks pass.
    void play(int count, const Audio& micAudio, const Audio& systemAudio) {
        for (int second = 1; second <= count; ++second) {
            for (auto [device, audio] : {std::pair{&mic, &micAudio}, {&system, &systemAudio}}) {
                const auto bytes = bytesOf((*audio)(second));
                device->play(piecesOf(bytes, std::max<std::size_t>(bytes.size() / 20 * 2, 2)));
            }
            clock->advance(std::chrono::seconds(1));
        }
    }
    SelfTest::Report run(int seconds, const Audio& micAudio, const Audio& systemAudio,
                         SelfTest::OnSecond onSecond = {}) {
        SelfTest test(
            environment().pipeline, false, [this]() -> Awaitable<bool> { co_return micAllowed; },
            SelfTest::tenthOfASecond(clock));
        Pending<SelfTest::Report> report(io, test.run(seconds, {}, std::move(onSecond)));
        clock->runReady();
        play(seconds, micAudio, systemAudio);
        return report.get();
    }
    std::size_t count(const std::string& text) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
};

// Each source passes once it reaches the pass level; below it, the microphone is silent, and so is
// an output carrying quiet sound, while one carrying only zeros is taken for a missing permission.
// A refused microphone is never opened; a source that fails to start is an error; what an
// interruption said is the source's message.
TEST_F(SelfTestFixture, JudgesEachSourceByWhatItDelivered) {
    const std::string accessOff = "Microphone access is off: Settings → Sound → Input";
    const std::string digitalSilence =
        "Only digital silence: play something, or choose the output device in Settings → Sound → "
        "Output";
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
        {speech, speech, true, {}, false, Status::ok, Status::ok, {}, {}},
        {quiet, zeros, true, {}, false, Status::silent, Status::denied, {}, digitalSilence},
        {speech, quiet, false, {}, false, Status::denied, Status::silent, accessOff, {}},
        {speech, speech, true, noOutput, false, Status::ok, Status::error, {}, noOutput},
        {quiet, zeros, true, {}, true, Status::silent, Status::denied, micGone, systemGone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        micAllowed = c.allowed;
        system.startFailure = c.systemFailure;
        const int micOpened = mic.opened();
        if (c.interrupted) {
            mic.onStart = [&] { mic.interrupt(micGone); };
            system.onStart = [&] { system.interrupt(systemGone); };
        }
        const SelfTest::Report report = run(2, c.micAudio, c.systemAudio);
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
// is a dropout, and one dropout of either source fails the test.
TEST_F(SelfTestFixture, CountsSecondsWithTooLittleAudioFromTheSecondOn) {
    const Audio audio = [](int second) {
        const std::int64_t samples[] = {0, 0, 16800, 16799, 24000};
        return speechSamples(samples[second], second);
    };
    std::vector<SelfTest::Second> ended;
    const auto report = run(4, speech, audio, [&](const auto& second) { ended.push_back(second); });
    EXPECT_EQ(report.mic.dropouts, 0);
    EXPECT_EQ(report.system.dropouts, 1);
    EXPECT_EQ(report.system.status, Status::ok);
    EXPECT_FALSE(report.passed());
    EXPECT_EQ(report.system.totalSamples, 16800 + 16799 + 24000);
    ASSERT_EQ(ended.size(), 4u);
    EXPECT_EQ(ended[0].second, 1);
    EXPECT_EQ(ended[0].system, 0);
    EXPECT_EQ(ended[3].second, 4);
    EXPECT_GT(ended[3].system, SelfTest::okLevel);
}

TEST(SelfTestMeterTest, CountsClippedSamplesFromMagnitude32700) {
    SelfTestMeter meter;
    meter.feed(bytesOf({32700, -32700, 32699, -32699, 0}));
    EXPECT_EQ(meter.totals().clipped, 2);
    EXPECT_GT(meter.takeLevel(), 0.9);
    EXPECT_EQ(meter.takeLevel(), 0);  // taken
}

// Clipping is more than one sample in a thousand.
TEST(SelfTestReportTest, TextAndJSONForms) {
    SelfTest::Report report;
    report.seconds = 8;
    report.mic = {Status::ok, 0.0625, 44100.9, "Microphone", 1, 1000, 0, std::nullopt};
    report.system = {
        Status::silent, 0.1, std::nullopt, std::nullopt, 2, 1000, 2, "Lost the other side: gone"};
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
}

TEST(SelfTestCommandTest, ParsesSecondsFrom1To60AndTheEchoCancellationFlag) {
    using Args = std::vector<std::string>;
    const std::pair<Args, std::optional<int>> cases[] = {
        {{"--selftest"}, 8},
        {{"--selftest", "--seconds", "1"}, 1},
        {{"--seconds", "60", "--selftest"}, 60},
        {{"--selftest", "--seconds", "0"}, std::nullopt},
        {{"--seconds", "61"}, std::nullopt},
        {{"--seconds", "5s"}, std::nullopt},
        {{"--seconds", "x"}, std::nullopt},
        {{"--selftest", "--seconds"}, std::nullopt},
    };
    for (const auto& [arguments, seconds] : cases) {
        const auto options = SelfTestCommand::parse(arguments);
        EXPECT_EQ(options ? std::optional(options->seconds) : std::nullopt, seconds)
            << arguments.back();
        EXPECT_FALSE(options && options->echoCancellation);
    }
    EXPECT_TRUE(
        SelfTestCommand::parse(Args{"--echo-cancellation", "--selftest"})->echoCancellation);
}

TEST(SelfTestCommandTest, PrintsRoundedBarsOfTwenty) {
    EXPECT_EQ(SelfTestCommand::secondLine({3, 0.5, 0}),
              "  3s  mic ██████████·········· 0.50   system ···················· 0.00");
    EXPECT_EQ(SelfTestCommand::bar(0.49), SelfTestCommand::bar(0.5));
    EXPECT_EQ(SelfTestCommand::bar(1.2), "████████████████████");
}

// selftest.run over the protocol: seconds from 1 to 60 (60 when not given), its checks, a levels
// event each tick and a progress event each second, the report as the answer, and selftest.stop
// ending it early with the report so far.
TEST_F(SelfTestFixture, RunsReportsProgressAndAnswersWithTheReport) {
    for (const std::string seconds : {"0", "61", "2.5", "\"5\"", "true"}) {
        send(R"({"id":0,"cmd":"selftest.run","params":{"seconds":)" + seconds + "}}");
    }
    EXPECT_EQ(count(R"({"error":{"code":"bad_params","message":"seconds must be 1–60"},"id":0,)"),
              5u);
    lines.clear();
    send(R"({"id":1,"cmd":"selftest.run","params":{"seconds":1.0}})");
    send(R"({"id":2,"cmd":"selftest.run"})");
    send(
        R"({"id":3,"cmd":"record.start","params":{"meetingId":"m","apiBase":"https://a.example","accessToken":"t"}})");
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            R"({"error":{"code":"busy","message":"A self-test is already running"},"id":2,"ok":false})",
            R"({"error":{"code":"busy","message":"A self-test is running"},"id":3,"ok":false})"}));
    play(1, speech, speech);
    EXPECT_EQ(count(R"("event":"levels")"), 10u);
    EXPECT_EQ(count(R"("event":"selftest.progress")"), 1u);
    EXPECT_TRUE(lines.back().starts_with(R"({"id":1,"ok":true,"result":{"mic":{)")) << lines.back();
    EXPECT_NE(lines.back().find(R"("passed":true,"seconds":1)"), std::string::npos);
    EXPECT_EQ(logs.back(), "self-test: mic ok, system ok");

    lines.clear();
    send(R"({"id":4,"cmd":"selftest.stop"})");
    EXPECT_EQ(lines, std::vector<std::string>{R"({"id":4,"ok":true,"result":{"stopped":false}})"});
    send(R"({"id":5,"cmd":"selftest.run","params":{"seconds":null}})");
    play(1, speech, speech);
    send(R"({"id":6,"cmd":"selftest.stop"})");
    clock->runReady();
    EXPECT_EQ(count(R"({"id":6,"ok":true,"result":{"stopped":true}})"), 1u);
    EXPECT_EQ(count(R"({"id":5,"ok":true,"result":{"mic":{)"), 1u);
    EXPECT_EQ(count(R"("seconds":60,"system")"), 2u);  // its progress event and its answer
    EXPECT_FALSE(mic.running() || system.running());
}

}  // namespace
}  // namespace tessarin::test
