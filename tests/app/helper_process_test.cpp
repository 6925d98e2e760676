#include <unistd.h>
#include <algorithm>
#include <climits>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/server/helper_environment.hpp"
#include "support/child_process.hpp"
#include "support/pulse_test_server.hpp"

namespace tessarin::test {
namespace {

const std::string helper = TESSARIN_HELPER_BINARY;

std::vector<std::string> logLines(const std::string& stderrText) {
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = stderrText.find('\n', start)) != std::string::npos) {
        lines.push_back(stderrText.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The whole log of an orderly exit: the start line, the reason, and the elapsed time.
void expectOrderlyExitLog(const std::string& stderrText, const std::string& reason, pid_t pid) {
    const auto lines = logLines(stderrText);
    ASSERT_EQ(lines.size(), 3u) << stderrText;
    EXPECT_EQ(lines[0], "tessarin-helper: started (pid " + std::to_string(pid) + ")");
    EXPECT_EQ(lines[1], "tessarin-helper: " + reason + "; exiting");
    EXPECT_TRUE(std::regex_match(
        lines[2], std::regex(R"(tessarin-helper: exit after [0-9]+\.[0-9]+ seconds)")))
        << lines[2];
}

// Where one of the child's descriptors leads, as /proc shows it.
std::string descriptorTarget(pid_t pid, int fd) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
    return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : "";
}

TEST(HelperProcess, TheEndOfInputExitsInOrderAlsoWhenStdinWasNeverOpen) {
    for (bool stdinClosed : {false, true}) {
        ChildProcess child(helper, {},
                           {.closedDescriptor = stdinClosed ? std::optional(0) : std::nullopt});
        child.closeInput();
        EXPECT_EQ(child.wait(), 0) << stdinClosed;
        expectOrderlyExitLog(child.errorOutput(), "stdin closed", child.pid());
        EXPECT_TRUE(child.remainingLines().empty());
    }
}

TEST(HelperProcess, SignalsExitInOrderWithoutWaitingForInputAndASecondChangesNothing) {
    for (const auto& [number, name] :
         {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
        ChildProcess child(helper);
        child.write("{\"id\":1,\"cmd\":\"hello\"}\n");
        ASSERT_EQ(child.readLines(1).size(), 1u);  // serving
        child.signal(number);
        child.signal(number);
        EXPECT_EQ(child.wait(), 0) << name;
        expectOrderlyExitLog(child.errorOutput(), name, child.pid());
    }
}

TEST(HelperProcess, RequestsWrittenAtOnceAreEachAnsweredOnceAndBadLinesComeBack) {
    const std::string hello = R"(,"ok":true,"result":{"macos":")" +
                              HelperEnvironment::systemVersion() +
                              R"(","protocol":1,"version":"0.1.0"}})";
    // The microphone is there when a sound server with an input source answers.
    const std::string mic = PulseTestServer::shared() ? "granted" : "unknown";
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) {
        const std::string id = "\"r" + std::to_string(i) + "\"";
        const char* cmd[] = {"hello", "permissions.status", "nope"};
        input += R"({"id":)" + id + R"(,"cmd":")" + cmd[i % 3] + "\"}" + (i == 4 ? "\r\n" : "\n");
        expected.push_back(
            i % 3 == 0 ? R"({"id":)" + id + hello
            : i % 3 == 1
                ? R"({"id":)" + id + R"(,"ok":true,"result":{"mic":")" + mic +
                      R"(","systemAudio":"unknown"}})"
                : R"({"error":{"code":"unknown_command","message":"Unknown cmd nope"},"id":)" + id +
                      R"(,"ok":false})");
    }
    input += "\n   \nnot json\n{\"id\":true,\"cmd\":\"\"}\n{\"id\":7,\"cmd\":\"hello\"}";
    expected.push_back(
        R"({"error":{"code":"bad_request","message":"Each line must be a JSON object"},"id":null,"ok":false})");
    expected.push_back(
        R"({"error":{"code":"bad_request","message":"Missing cmd"},"id":true,"ok":false})");
    expected.push_back(R"({"id":7)" + hello);  // the last line needs no line feed

    ChildProcess child(helper);
    child.write(input);
    child.closeInput();
    ASSERT_EQ(child.wait(), 0);
    auto lines = child.remainingLines();
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST(HelperProcess, KeepsServingWithItsOutputClosedAndExitsNormally) {
    ChildProcess child(helper);
    child.closeOutput();
    for (int i = 0; i < 20; ++i) {
        child.write("{\"id\":" + std::to_string(i) + ",\"cmd\":\"hello\"}\n");
    }
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    expectOrderlyExitLog(child.errorOutput(), "stdin closed", child.pid());
}

TEST(HelperProcess, AnOverlongLineIsAnsweredOnceAndSkipped) {
    ChildProcess child(helper);
    // 64 MiB without a line feed, then a good request on the next line.
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) {
        child.write(block);
    }
    child.write("\n{\"id\":9,\"cmd\":\"hello\"}\n");
    const auto lines = child.readLines(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(
        lines[0],
        R"({"error":{"code":"bad_request","message":"Each line must be at most 1048576 bytes"},"id":null,"ok":false})");
    EXPECT_NE(lines[1].find(R"("id":9,"ok":true)"), std::string::npos);
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(child.remainingLines().empty());
}

TEST(HelperProcess, ANonBlockingStdinIsWaitedOnForInput) {
    ChildProcess child(helper, {}, {.nonBlockingInput = true});
    for (int id : {1, 2}) {
        ASSERT_TRUE(child.awaitErrorOutput("started"));
        usleep(20000);  // let it find the pipe empty
        child.write("{\"id\":" + std::to_string(id) + ",\"cmd\":\"permissions.status\"}\n");
        EXPECT_EQ(child.readLines(1).size(), 1u) << id;
    }
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    expectOrderlyExitLog(child.errorOutput(), "stdin closed", child.pid());
}

TEST(HelperProcess, AClosedStandardOutputOrErrorIsReplacedByTheNullDevice) {
    ChildProcess withoutOutput(helper, {}, {.closedDescriptor = 1});
    ASSERT_TRUE(withoutOutput.awaitErrorOutput("started"));
    EXPECT_EQ(descriptorTarget(withoutOutput.pid(), 1), "/dev/null");

    ChildProcess withoutError(helper, {}, {.closedDescriptor = 2});
    withoutError.write("{\"id\":1,\"cmd\":\"permissions.status\"}\n");
    ASSERT_EQ(withoutError.readLines(1).size(), 1u);
    EXPECT_EQ(descriptorTarget(withoutError.pid(), 2), "/dev/null");

    for (ChildProcess* child : {&withoutOutput, &withoutError}) {
        child->closeInput();
        EXPECT_EQ(child->wait(), 0);
    }
    EXPECT_TRUE(withoutError.errorOutput().empty());
}

}  // namespace
}  // namespace tessarin::test
