#include <string>
#include <utility>
#include <vector>

#include "core/api/auth_error.hpp"
#include "core/http/url.hpp"
#include "recording/server/helper_auth.hpp"
#include "server_fixture.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using HelperServerTest = ServerFixture;

std::string success(const std::string& id, const std::string& result) {
    return R"({"id":)" + id + R"(,"ok":true,"result":)" + result + "}";
}
std::string failure(const std::string& id, const std::string& code, const std::string& message) {
    return R"({"error":{"code":")" + code + R"(","message":")" + message + R"("},"id":)" + id +
           R"(,"ok":false})";
}

TEST_F(HelperServerTest, EveryCommandAnswersItsExactLineAndLogsFailuresByCode) {
    const std::string hello = R"({"macos":"6.1.0","protocol":1,"version":"0.1.0"})";
    const std::string denied = R"({"mic":"denied","systemAudio":"unknown"})";
    const std::string badKind = R"(kind must be \"mic\" or \"systemAudio\")";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"id":1,"cmd":"hello"})", success("1", hello)},
        {R"({"id":2,"cmd":"hello","params":{"protocol":1.0}})", success("2", hello)},
        {R"({"id":3,"cmd":"hello","params":{"protocol":2}})",
         failure("3", "unsupported_protocol", "This helper speaks protocol 1")},
        {R"({"id":4,"cmd":"hello","params":{"protocol":2.0}})",
         failure("4", "unsupported_protocol", "This helper speaks protocol 1")},
        {R"({"id":5,"cmd":"hello","params":{"protocol":"2"}})", success("5", hello)},
        {R"({"id":6,"cmd":"hello","params":{"protocol":1.5}})", success("6", hello)},
        {R"({"id":7,"cmd":"permissions.status"})", success("7", denied)},
        {R"({"id":8,"cmd":"permissions.request","params":{"kind":"camera"}})",
         failure("8", "bad_params", badKind)},
        {R"({"id":9,"cmd":"permissions.request"})", failure("9", "bad_params", badKind)},
        {R"({"id":10,"cmd":"permissions.request","params":{"kind":"systemAudio"}})",
         success("10", denied)},
        {R"({"id":11,"cmd":"token.update","params":{"accessToken":""}})",
         failure("11", "bad_params", "accessToken is required")},
        {R"({"id":12,"cmd":"token.update","params":{"accessToken":5}})",
         failure("12", "bad_params", "accessToken is required")},
        {R"({"id":13,"cmd":"token.update","params":{"accessToken":"t"}})", success("13", "{}")},
        {R"({"id":14,"cmd":"detect.set","params":{"enabled":1}})",
         failure("14", "bad_params", "enabled must be true or false")},
        {R"({"id":15,"cmd":"detect.set"})",
         failure("15", "bad_params", "enabled must be true or false")},
        {R"({"id":16,"cmd":"detect.set","params":{"enabled":false}})", success("16", "{}")},
        {R"({"id":"x","cmd":"record.start"})",
         failure(R"("x")", "unknown_command", "Unknown cmd record.start")},
        {R"({"id":17,"cmd":"selftest.run"})",
         failure("17", "unknown_command", "Unknown cmd selftest.run")},
        {R"({"id":18,"cmd":"hello.world"})",
         failure("18", "unknown_command", "Unknown cmd hello.world")},
        {"  \t{\"id\":19,\"cmd\":\"hello\"}\xE2\x80\xA8\r", success("19", hello)},
        {"", ""},
        {" \t\r", ""},
        {"\xE2\x80\x83\xC2\xA0", ""},
    };
    for (const auto& [request, response] : cases) {
        send(request);
        EXPECT_EQ(takeLines(), response.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{response})
            << request;
    }
    EXPECT_EQ(logs, (std::vector<std::string>{
                        "hello failed: unsupported_protocol",
                        "hello failed: unsupported_protocol",
                        "permissions.request failed: bad_params",
                        "permissions.request failed: bad_params",
                        "primed",
                        "token.update failed: bad_params",
                        "token.update failed: bad_params",
                        "detect.set failed: bad_params",
                        "detect.set failed: bad_params",
                        "record.start failed: unknown_command",
                        "selftest.run failed: unknown_command",
                        "hello.world failed: unknown_command",
                    }));
}

TEST_F(HelperServerTest, PermissionReportNamesEveryMicrophoneStatus) {
    using Status = CapturePermission::Status;
    const std::pair<Status, std::string> statuses[] = {{Status::granted, "granted"},
                                                       {Status::denied, "denied"},
                                                       {Status::undetermined, "undetermined"},
                                                       {Status::unknown, "unknown"}};
    for (const auto& [status, name] : statuses) {
        auto env = environment();
        env.micStatus = [status] { return status; };
        makeServer(env);
        send(R"({"id":1,"cmd":"permissions.status"})");
        EXPECT_EQ(takeLines(), std::vector<std::string>{success(
                                   "1", R"({"mic":")" + name + R"(","systemAudio":"unknown"})")});
    }
}

TEST_F(HelperServerTest, ASlowMicPromptDoesNotHoldBackLaterRequests) {
    send(R"({"id":"slow","cmd":"permissions.request","params":{"kind":"mic"}})");
    send(R"({"id":"fast","cmd":"hello"})");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(R"("id":"fast")"), std::string::npos);
    micPrompt->resume(true);
    clock->runReady();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], success(R"("slow")", R"({"mic":"denied","systemAudio":"unknown"})"));
}

TEST_F(HelperServerTest, UnexpectedErrorsAnswerInternalWithTheirDescription) {
    auto env = environment();
    env.requestMic = []() -> Awaitable<bool> { throw std::runtime_error("prompt exploded"); };
    makeServer(env);
    send(R"({"id":1,"cmd":"permissions.request","params":{"kind":"mic"}})");
    EXPECT_EQ(takeLines(), std::vector<std::string>{failure("1", "internal", "prompt exploded")});
    EXPECT_TRUE(logs.empty());
}

TEST_F(HelperServerTest, DeviceChangesNameOnlyWhatIsKnown) {
    server->deviceChanged(std::string("USB Mic"), std::string("Speakers"));
    server->deviceChanged(std::nullopt, std::string("Speakers"));
    server->deviceChanged(std::string("USB Mic"), std::nullopt);
    server->deviceChanged(std::nullopt, std::nullopt);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{
                  R"({"event":"device.changed","input":"USB Mic","output":"Speakers"})",
                  R"({"event":"device.changed","output":"Speakers"})",
                  R"({"event":"device.changed","input":"USB Mic"})",
                  R"({"event":"device.changed"})",
              }));
}

struct HelperServerBrokerTest : ServerFixture {
    int tokenNeeded = 0;
    std::shared_ptr<HelperAuth> broker =
        HelperAuth::create(io.get_executor(), clock, *URL::parse("https://n.example"), "t1", 60s,
                           [this] { ++tokenNeeded; });
    std::vector<std::string> released;

    void SetUp() override {
        ServerFixture::SetUp();
        server->useAuth(broker);
    }

    void refuseCurrentToken() {
        Task<>::spawn(io.get_executor(), "test", [this]() -> Awaitable<void> {
            try {
                std::string next = co_await broker->tokenRejected("t1");
                released.push_back(next);
            } catch (const AuthError&) {
                released.push_back("signed out");
            }
        });
        clock->runReady();
    }
};

TEST_F(HelperServerBrokerTest, TokenUpdateReleasesParkedRequestsWithTheNewToken) {
    refuseCurrentToken();
    refuseCurrentToken();
    EXPECT_EQ(tokenNeeded, 1);
    send(R"({"id":1,"cmd":"token.update","params":{"accessToken":"t2"}})");
    EXPECT_EQ(takeLines(), std::vector<std::string>{success("1", "{}")});
    EXPECT_EQ(released, (std::vector<std::string>{"t2", "t2"}));
    EXPECT_EQ(broker->token(), "t2");
}

TEST_F(HelperServerBrokerTest, ShutdownClosesTheBrokerStopsDetectionAndWritesNothing) {
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    refuseCurrentToken();
    takeLines();
    shutdown();
    EXPECT_EQ(server->state(), HelperServer::State::closing);
    EXPECT_EQ(released, std::vector<std::string>{"signed out"});
    EXPECT_TRUE(broker->closed());
    EXPECT_FALSE(server->isDetecting());
    const int polls = processes->polls;
    clock->advance(10s);
    EXPECT_EQ(processes->polls, polls);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(clock->sleepers(), 0u);  // no loop and no token time limit left behind
}

}  // namespace
}  // namespace tessarin::test
