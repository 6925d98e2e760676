#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/selftest/self_test_command.hpp"
#include "support/child_process.hpp"
#include "support/pulse_test_server.hpp"

namespace tessarin::test {
namespace {

const std::string helper = TESSARIN_HELPER_BINARY;

TEST(SelfTestProcess, AWrongNumberOfSecondsIsAUsageErrorWithStatus2) {
    ChildProcess child(helper, {"--seconds", "61", "--selftest"});
    EXPECT_EQ(child.wait(), 2);
    EXPECT_EQ(child.errorOutput(), SelfTestCommand::usage);
    EXPECT_TRUE(child.remainingLines().empty());
}

// The real binary against the sound server the test script started: a tone on both sides passes;
// an output that plays only zeros is reported as digital silence and fails.
TEST(SelfTestProcess, JudgesWhatTheSoundServerCarries) {
    REQUIRE_SOUND_SERVER();
    const std::string server = *PulseTestServer::shared();
    const std::tuple<double, int, std::string, std::string> cases[] = {
        {0.5, 0, "system audio: ok · peak 0.85", "PASS"},
        {0, 1,
         "system audio: denied · peak 0.00 · Only digital silence: play something, or choose the "
         "output device in Settings → Sound → Output",
         "CHECK THE LINES ABOVE"},
    };
    for (const auto& [systemAmplitude, status, systemLine, verdict] : cases) {
        SCOPED_TRACE(verdict);
        const TonePlayer mic(server, "micsink", 440, 0.5);
        const TonePlayer system(server, "speakers", 1000, systemAmplitude);
        ChildProcess child(helper, {"--selftest", "--seconds", "2"});
        ASSERT_EQ(child.wait(std::chrono::seconds(20)), status) << child.errorOutput();
        const auto lines = child.remainingLines();
        ASSERT_EQ(lines.size(), 14u) << child.errorOutput();
        EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 6),
                  (std::vector<std::string>{
                      "Tessarin self-test: 2 s. Speak, and play something (a YouTube video) "
                      "through the speakers.",
                      "Nothing is recorded, uploaded or saved.", "", "mic:    Microphone",
                      "system: Speakers (monitor)", ""}));
        EXPECT_TRUE(lines[6].starts_with("  1s  mic ")) << lines[6];
        EXPECT_TRUE(lines[7].starts_with("  2s  mic ")) << lines[7];
        EXPECT_EQ(std::vector(lines.begin() + 8, lines.end()),
                  (std::vector<std::string>{
                      "", "mic:    Microphone, 44100 Hz, voice processing off",
                      "system: Speakers, 48000 Hz", "mic: ok · peak 0.85", systemLine, verdict}));
    }
}

// The serving process finds the microphone and reports a new default output, with no recording
// running; on a server of its own, as every helper serving on the shared one would hear the change.
TEST(SelfTestProcess, TheServingProcessFindsTheMicrophoneAndReportsDeviceChanges) {
    REQUIRE_SOUND_SERVER();
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
