#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/pulse_test_server.hpp"

namespace tessarin::test {
namespace {

const std::string helper = TESSARIN_HELPER_BINARY;

// What the parent did with the helper's descriptors, how it ended it, and what it logged.
struct Ending {
    const char* what;
    std::optional<int> closed;  // a standard descriptor it never opened
    bool readerGone;            // it stopped reading standard output
    int signal;                 // 0: it closed standard input
    std::string reason;         // as logged; nothing without standard error
};

TEST(HelperProcess, EveryWayOfEndingExitsInOrderAndClosedDescriptorsLeadToTheNullDevice) {
    const Ending endings[] = {
        {"end of input", std::nullopt, false, 0, "stdin closed"},
        {"stdin never open", 0, false, 0, "stdin closed"},
        {"stdout never open", 1, false, SIGTERM, "SIGTERM"},
        {"stderr never open", 2, false, 0, ""},
        {"stdout's reader gone", std::nullopt, true, 0, "stdin closed"},
        {"SIGINT", std::nullopt, false, SIGINT, "SIGINT"},
    };
    for (const Ending& e : endings) {
        // The shell closes the descriptor and becomes the helper.
        ChildProcess child(
            "/bin/sh",
            {"-c", "exec \"$0\" " + std::to_string(e.closed.value_or(9)) + ">&-", helper});
        if (e.readerGone) {
            child.closeOutput();
        }
        if (e.closed != 0) {
            child.write("{\"id\":1,\"cmd\":\"permissions.status\"}\n");
        }
        if (e.closed == 2) {
            ASSERT_EQ(child.readLines(1).size(), 1u) << e.what;
        } else {
            ASSERT_TRUE(child.awaitErrorOutput("started")) << e.what;
        }
        if (e.closed == 1 || e.closed == 2) {
            std::error_code unreadable;
            const auto fd =
                "/proc/" + std::to_string(child.pid()) + "/fd/" + std::to_string(*e.closed);
            EXPECT_EQ(std::filesystem::read_symlink(fd, unreadable), "/dev/null") << e.what;
        }
        // A second signal while the exit is under way changes nothing.
        for (int i = 0; i < (e.signal ? 2 : 0); ++i) {
            kill(child.pid(), e.signal);
        }
        if (!e.signal) {
            child.closeInput();
        }
        EXPECT_EQ(child.wait(), 0) << e.what;
        if (e.reason.empty()) {
            EXPECT_EQ(child.errorOutput(), "") << e.what;
            continue;
        }
        EXPECT_TRUE(std::regex_match(
            child.errorOutput(),
            std::regex("tessarin-helper: started \\(pid " + std::to_string(child.pid()) +
                       "\\)\ntessarin-helper: " + e.reason +
                       "; exiting\ntessarin-helper: exit after [0-9]+\\.[0-9]+ seconds\n")))
            << e.what << ": " << child.errorOutput();
    }
}

TEST(HelperProcess, RequestsWrittenAtOnceAreEachAnsweredOnceAndAnOverlongLineIsSkipped) {
    // A line of exactly the longest length is read (and is no JSON); one byte more is not. The
    // last line needs no line feed.
    ChildProcess child(helper);
    child.write(R"({"id":0,"cmd":"hello"})"
                "\r\n" +
                std::string(1 << 20, 'x') + "\n" + std::string((1 << 20) + 1, 'x') + "\n" +
                R"({"id":1,"cmd":"hello"})");
    child.closeInput();
    ASSERT_EQ(child.wait(), 0);
    auto lines = child.remainingLines();
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(
        std::vector(lines.begin(), lines.begin() + 2),
        (std::vector<std::string>{
            R"({"error":{"code":"bad_request","message":"Each line must be a JSON object"},"id":null,"ok":false})",
            R"({"error":{"code":"bad_request","message":"Each line must be at most 1048576 bytes"},"id":null,"ok":false})"}));
    EXPECT_TRUE(lines[2].starts_with(R"({"id":0,"ok":true)") &&
                lines[3].starts_with(R"({"id":1,"ok":true)"));
}

// The sound server's default devices are watched from the start, with no recording running. The
// watcher subscribes after the helper has started, so the default output is switched until a
// change is heard.
TEST(HelperProcess, ReportsAChangedDefaultDeviceWithoutARecording) {
    REQUIRE_SOUND_SERVER();
    PulseTestServer server;
    ChildProcess child("/usr/bin/env", {"PULSE_SERVER=" + server.address(), helper});
    ASSERT_TRUE(child.awaitErrorOutput("started"));
    std::vector<std::string> lines;
    for (int i = 0; i < 50 && lines.empty(); ++i) {
        const std::string sink = i % 2 ? "speakers" : "micsink";
        ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-sink", sink}), 0);
        lines = child.readLines(1, std::chrono::milliseconds(200));
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0] == R"({"event":"device.changed","output":"Microphone-feed"})" ||
                lines[0] == R"({"event":"device.changed","output":"Speakers"})")
        << lines[0];
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
}  // namespace tessarin::test
