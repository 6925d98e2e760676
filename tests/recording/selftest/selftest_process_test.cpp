#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/selftest/self_test_command.hpp"
#include "support/child_process.hpp"
#include "support/pulse_test_server.hpp"
#include "support/tone_player.hpp"

namespace tessarin::test {
namespace {

const std::string helper = TESSARIN_HELPER_BINARY;

TEST(SelfTestProcess, AWrongNumberOfSecondsIsAUsageErrorWithStatus2) {
    using Args = std::vector<std::string>;
    for (const Args& arguments :
         {Args{"--selftest", "--seconds", "0"}, Args{"--seconds", "61", "--selftest"},
          Args{"--selftest", "--seconds", "x"}, Args{"--selftest", "--seconds"}}) {
        ChildProcess child(helper, arguments);
        EXPECT_EQ(child.wait(), 2) << arguments.back();
        EXPECT_EQ(child.errorOutput(), SelfTestCommand::usage);
        EXPECT_TRUE(child.remainingLines().empty());
    }
}

// The real binary against the sound server the test script started: a tone on both sides passes;
// a quiet microphone is silent; an output that plays only zeros is reported as digital silence.
TEST(SelfTestProcess, JudgesWhatTheSoundServerCarries) {
    const auto server = PulseTestServer::shared();
    if (!server) {
        GTEST_SKIP() << "no sound server: set PULSE_SERVER (scripts/test starts one)";
    }
    struct Case {
        double micAmplitude, systemAmplitude;
        int status;
        std::string micLine, systemLine, verdict;
    };
    const Case cases[] = {
        {0.5, 0.5, 0, "mic: ok · peak 0.85", "system audio: ok · peak 0.85", "PASS"},
        {0.002, 0.5, 1, "mic: silent · peak 0.05", "system audio: ok · peak 0.85",
         "CHECK THE LINES ABOVE"},
        {0.5, 0, 1, "mic: ok · peak 0.85",
         "system audio: denied · peak 0.00 · Only digital silence: play something, or choose the "
         "output device in Settings → Sound → Output",
         "CHECK THE LINES ABOVE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.micLine + " / " + c.systemLine);
        const TonePlayer mic(*server, "micsink", 440, c.micAmplitude);
        const TonePlayer system(*server, "speakers", 1000, c.systemAmplitude);
        ChildProcess child(helper, {"--selftest", "--seconds", "2"});
        ASSERT_EQ(child.wait(std::chrono::seconds(20)), c.status) << child.errorOutput();
        const std::vector<std::string> expected = {
            "Tessarin self-test: 2 s. Speak, and play something (a YouTube video) through the "
            "speakers.",
            "Nothing is recorded, uploaded or saved.",
            "",
            "mic:    Microphone",
            "system: Speakers (monitor)",
            "",
        };
        const auto lines = child.remainingLines();
        ASSERT_EQ(lines.size(), 14u) << child.errorOutput();
        EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 6), expected);
        EXPECT_TRUE(lines[6].starts_with("  1s  mic ")) << lines[6];
        EXPECT_TRUE(lines[7].starts_with("  2s  mic ")) << lines[7];
        EXPECT_EQ(lines[9], "mic:    Microphone, 44100 Hz, voice processing off");
        EXPECT_EQ(lines[10], "system: Speakers, 48000 Hz");
        EXPECT_EQ(lines[11], c.micLine);
        EXPECT_EQ(lines[12], c.systemLine);
        EXPECT_EQ(lines[13], c.verdict);
    }
}

// The serving process finds the microphone and reports a new default output, with no recording
// running.
TEST(SelfTestProcess, TheServingProcessFindsTheMicrophoneAndReportsDeviceChanges) {
    if (!PulseTestServer::shared()) {
        GTEST_SKIP() << "no sound server: set PULSE_SERVER (scripts/test starts one)";
    }
    // A server of its own: every helper serving on the shared one would hear the change.
    const PulseTestServer server;
    const std::string shared = *PulseTestServer::shared();
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    ChildProcess child(helper);
    setenv("PULSE_SERVER", shared.c_str(), 1);
    // Answered once the process is connected to the sound server.
    child.write("{\"id\":1,\"cmd\":\"permissions.status\"}\n");
    ASSERT_EQ(child.readLines(1),
              std::vector<std::string>{
                  R"({"id":1,"ok":true,"result":{"mic":"granted","systemAudio":"unknown"}})"});
    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-sink", "micsink"}), 0);
    EXPECT_EQ(child.readLines(1),
              std::vector<std::string>{R"({"event":"device.changed","output":"Microphone-feed"})"});
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
}  // namespace tessarin::test
