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

// The real binary against the sound server the test script started: a tone on both sides passes.
TEST(SelfTestProcess, PassesWhenBothSidesCarrySound) {
    REQUIRE_SOUND_SERVER();
    const std::string server = *PulseTestServer::shared();
    const TonePlayer mic(server, "micsink", 440);
    const TonePlayer system(server, "speakers", 1000);
    ChildProcess child(helper, {"--selftest", "--seconds", "2"});
    ASSERT_EQ(child.wait(std::chrono::seconds(20)), 0) << child.errorOutput();
    const auto lines = child.remainingLines();
    ASSERT_EQ(lines.size(), 14u) << child.errorOutput();
    EXPECT_TRUE(lines[6].starts_with("  1s  mic ")) << lines[6];
    EXPECT_EQ(std::vector(lines.begin() + 9, lines.end()),
              (std::vector<std::string>{"mic:    Microphone, 44100 Hz, voice processing off",
                                        "system: Speakers, 48000 Hz", "mic: ok · peak 0.85",
                                        "system audio: ok · peak 0.85", "PASS"}));
}

}  // namespace
}  // namespace tessarin::test
