#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"
#include "support/child_process.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

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

// The exit log of an orderly exit: the start line, the reason, and the elapsed time, in order.
void expectOrderlyExitLog(const std::string& stderrText, const std::string& reason, pid_t pid) {
    const auto lines = logLines(stderrText);
    ASSERT_GE(lines.size(), 3u) << stderrText;
    EXPECT_EQ(lines.front(), "tessarin-helper: started (pid " + std::to_string(pid) + ")");
    EXPECT_EQ(lines[lines.size() - 2], "tessarin-helper: " + reason + "; exiting");
    EXPECT_TRUE(std::regex_match(
        lines.back(), std::regex(R"(tessarin-helper: exit after [0-9]+\.[0-9]+ seconds)")))
        << lines.back();
}

TEST(HelperProcess, EmptyInputExitsInOrder) {
    ChildProcess child(helper);
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    expectOrderlyExitLog(child.errorOutput(), "stdin closed", child.pid());
    EXPECT_TRUE(child.remainingLines().empty());
}

TEST(HelperProcess, SigtermWhileIdleExitsInOrderWithoutWaitingForInput) {
    ChildProcess child(helper);
    child.write("{\"id\":1,\"cmd\":\"hello\"}\n");
    ASSERT_EQ(child.readLines(1).size(), 1u);  // serving
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0);
    expectOrderlyExitLog(child.errorOutput(), "SIGTERM", child.pid());
}

TEST(HelperProcess, SigintIsAnOrderlyExitToo) {
    ChildProcess child(helper);
    child.write("{\"id\":1,\"cmd\":\"hello\"}\n");
    ASSERT_EQ(child.readLines(1).size(), 1u);
    child.signal(SIGINT);
    child.signal(SIGINT);  // a second signal during the exit changes nothing
    EXPECT_EQ(child.wait(), 0);
    const std::string log = child.errorOutput();
    EXPECT_EQ(logLines(log).size(), 3u) << log;
    expectOrderlyExitLog(log, "SIGINT", child.pid());
}

TEST(HelperProcess, AnswersHelloAndEveryDecodeFailureWithItsExactLine) {
    ChildProcess child(helper);
    child.write(
        "{\"id\":1,\"cmd\":\"hello\"}\n"
        "\n"
        "   \n"
        "not json\n"
        "[1,2]\n"
        "{\"id\":1.5,\"cmd\":\"hello\"}\n"
        "{\"id\":true,\"cmd\":\"\"}\n"
        "{\"cmd\":\"hello\"}\n"
        "{\"id\":\"bad\",\"cmd\":\"h\xFF\"}\n"
        "{\"id\":2,\"cmd\":\"hello\"}\r\n"
        "{\"id\":3,\"cmd\":\"hello\"}");  // the last line needs no line feed
    child.closeInput();
    ASSERT_EQ(child.wait(), 0);
    const auto lines = child.remainingLines();
    ASSERT_EQ(lines.size(), 9u);
    // Each line is answered in its own task; sort by nothing, compare as a set.
    const std::multiset<std::string> answers(lines.begin(), lines.end());
    const std::string notJSON =
        R"({"error":{"code":"bad_request","message":"Each line must be a JSON object"},"id":null,"ok":false})";
    EXPECT_EQ(answers.count(notJSON), 3u);
    EXPECT_EQ(
        answers.count(
            R"({"error":{"code":"bad_request","message":"id must be a number or a string"},"id":1.5,"ok":false})"),
        1u);
    EXPECT_EQ(
        answers.count(
            R"({"error":{"code":"bad_request","message":"Missing cmd"},"id":true,"ok":false})"),
        1u);
    EXPECT_EQ(
        answers.count(
            R"({"error":{"code":"bad_request","message":"id must be a number or a string"},"id":null,"ok":false})"),
        1u);
    for (int id : {1, 2, 3}) {
        bool found = false;
        for (const auto& line : lines) {
            auto value = JSONValue::parse(line);
            ASSERT_TRUE(value) << line;
            if (value->member("id") && *value->member("id") == JSONValue(id)) {
                found = true;
                EXPECT_EQ(*value->member("ok"), JSONValue(true));
                EXPECT_EQ(*value->member("result")->member("protocol"), JSONValue(1));
                EXPECT_EQ(*value->member("result")->member("version"), JSONValue("0.1.0"));
                EXPECT_TRUE(value->member("result")->member("macos")->stringValue());
            }
        }
        EXPECT_TRUE(found) << id;
    }
}

TEST(HelperProcess, TenRequestsWrittenAtOnceAreEachAnsweredOnce) {
    ChildProcess child(helper);
    std::string batch;
    for (int i = 0; i < 10; ++i) {
        const char* cmd = i % 3 == 0 ? "hello" : (i % 3 == 1 ? "permissions.status" : "nope");
        batch += "{\"id\":\"r" + std::to_string(i) + "\",\"cmd\":\"" + cmd + "\"}\n";
    }
    child.write(batch);
    const auto lines = child.readLines(10);
    ASSERT_EQ(lines.size(), 10u);
    std::map<std::string, int> answered;
    for (const auto& line : lines) {
        auto value = JSONValue::parse(line);
        ASSERT_TRUE(value) << line;
        ++answered[*value->member("id")->stringValue()];
    }
    EXPECT_EQ(answered.size(), 10u);
    for (const auto& [id, count] : answered) {
        EXPECT_EQ(count, 1) << id;
    }
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(child.remainingLines().empty());
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

TEST(HelperProcess, HostileLinesAreAnsweredWithoutCrashing) {
    ChildProcess child(helper);
    child.write(std::string(100000, '[') + "\n");
    child.write("{\"id\":1,\"cmd\":\"hello\",\"params\":" + std::string(100000, '{') + "\n");
    child.write("\xC3\x28\n");
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    const auto lines = child.remainingLines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_EQ(
            line,
            R"({"error":{"code":"bad_request","message":"Each line must be a JSON object"},"id":null,"ok":false})");
    }
}

TEST(HelperProcess, SelfTestArgumentNeverStartsTheProtocolLoop) {
    ChildProcess child(helper, {"--seconds", "3", "--selftest"});
    EXPECT_EQ(child.wait(), 2);
    EXPECT_EQ(child.errorOutput(), "self-test is not available in this build\n");
    EXPECT_TRUE(child.remainingLines().empty());
}

}  // namespace
}  // namespace tessarin::test
