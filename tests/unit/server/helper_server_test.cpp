#include <string>
#include <vector>

#include "core/api/auth_error.hpp"
#include "core/http/url.hpp"
#include "recording/server/helper_auth.hpp"
#include "server_fixture.hpp"

namespace tessarin::test {
namespace {

using HelperServerTest = ServerFixture;

TEST_F(HelperServerTest, EveryCommandAnswersItsExactLine) {
    struct Case {
        const char* request;
        const char* response;
    };
    const Case cases[] = {
        {R"({"id":1,"cmd":"hello"})",
         R"({"id":1,"ok":true,"result":{"macos":"6.1.0","protocol":1,"version":"0.1.0"}})"},
        {R"({"id":2,"cmd":"hello","params":{"protocol":1.0}})",
         R"({"id":2,"ok":true,"result":{"macos":"6.1.0","protocol":1,"version":"0.1.0"}})"},
        {R"({"id":3,"cmd":"hello","params":{"protocol":2}})",
         R"({"error":{"code":"unsupported_protocol","message":"This helper speaks protocol 1"},"id":3,"ok":false})"},
        {R"({"id":4,"cmd":"hello","params":{"protocol":"2"}})",
         R"({"id":4,"ok":true,"result":{"macos":"6.1.0","protocol":1,"version":"0.1.0"}})"},
        {R"({"id":5,"cmd":"hello","params":{"protocol":1.5}})",
         R"({"id":5,"ok":true,"result":{"macos":"6.1.0","protocol":1,"version":"0.1.0"}})"},
        {R"({"id":6,"cmd":"permissions.status"})",
         R"({"id":6,"ok":true,"result":{"mic":"denied","systemAudio":"unknown"}})"},
        {R"({"id":7,"cmd":"permissions.request","params":{"kind":"camera"}})",
         R"({"error":{"code":"bad_params","message":"kind must be \"mic\" or \"systemAudio\""},"id":7,"ok":false})"},
        {R"({"id":8,"cmd":"permissions.request"})",
         R"({"error":{"code":"bad_params","message":"kind must be \"mic\" or \"systemAudio\""},"id":8,"ok":false})"},
        {R"({"id":9,"cmd":"permissions.request","params":{"kind":"systemAudio"}})",
         R"({"id":9,"ok":true,"result":{"mic":"denied","systemAudio":"unknown"}})"},
        {R"({"id":10,"cmd":"token.update","params":{"accessToken":""}})",
         R"({"error":{"code":"bad_params","message":"accessToken is required"},"id":10,"ok":false})"},
        {R"({"id":11,"cmd":"token.update","params":{"accessToken":5}})",
         R"({"error":{"code":"bad_params","message":"accessToken is required"},"id":11,"ok":false})"},
        {R"({"id":12,"cmd":"token.update","params":{"accessToken":"t"}})",
         R"({"id":12,"ok":true,"result":{}})"},
        {R"({"id":13,"cmd":"detect.set","params":{"enabled":1}})",
         R"({"error":{"code":"bad_params","message":"enabled must be true or false"},"id":13,"ok":false})"},
        {R"({"id":14,"cmd":"detect.set"})",
         R"({"error":{"code":"bad_params","message":"enabled must be true or false"},"id":14,"ok":false})"},
        {R"({"id":15,"cmd":"detect.set","params":{"enabled":false}})",
         R"({"id":15,"ok":true,"result":{}})"},
        {R"({"id":"x","cmd":"record.start"})",
         R"({"error":{"code":"unknown_command","message":"Unknown cmd record.start"},"id":"x","ok":false})"},
        {R"({"id":16,"cmd":"selftest.run"})",
         R"({"error":{"code":"unknown_command","message":"Unknown cmd selftest.run"},"id":16,"ok":false})"},
        {R"({"id":17,"cmd":"fly"})",
         R"({"error":{"code":"unknown_command","message":"Unknown cmd fly"},"id":17,"ok":false})"},
        {"not json",
         R"({"error":{"code":"bad_request","message":"Each line must be a JSON object"},"id":null,"ok":false})"},
        {R"({"id":true,"cmd":""})",
         R"({"error":{"code":"bad_request","message":"Missing cmd"},"id":true,"ok":false})"},
        {"  \t{\"id\":18,\"cmd\":\"hello\"}\xE2\x80\xA8\r",
         R"({"id":18,"ok":true,"result":{"macos":"6.1.0","protocol":1,"version":"0.1.0"}})"},
    };
    for (const auto& c : cases) {
        send(c.request);
        EXPECT_EQ(takeLines(), std::vector<std::string>{c.response}) << c.request;
    }
}

TEST_F(HelperServerTest, BlankLinesGetNoAnswer) {
    for (const char* line : {"", "   ", "\t\r", "\xE2\x80\x83\xC2\xA0"}) {
        send(line);
    }
    EXPECT_TRUE(lines.empty());
}

TEST_F(HelperServerTest, FailuresAreLoggedByCodeOnly) {
    send(R"({"id":1,"cmd":"detect.set"})");
    EXPECT_EQ(logs, std::vector<std::string>{"detect.set failed: bad_params"});
}

TEST_F(HelperServerTest, ASlowMicPromptDoesNotHoldBackLaterRequests) {
    send(R"({"id":"slow","cmd":"permissions.request","params":{"kind":"mic"}})");
    send(R"({"id":"fast","cmd":"hello"})");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(R"("id":"fast")"), std::string::npos);
    micPrompt->resume(true);
    clock->runReady();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              R"({"id":"slow","ok":true,"result":{"mic":"denied","systemAudio":"unknown"}})");
}

TEST_F(HelperServerTest, UnexpectedErrorsAnswerInternalWithTheirDescription) {
    auto env = environment();
    env.requestMic = []() -> Awaitable<bool> { throw std::runtime_error("prompt exploded"); };
    makeServer(env);
    send(R"({"id":1,"cmd":"permissions.request","params":{"kind":"mic"}})");
    EXPECT_EQ(
        takeLines(),
        std::vector<std::string>{
            R"({"error":{"code":"internal","message":"prompt exploded"},"id":1,"ok":false})"});
    EXPECT_TRUE(logs.empty());
}

TEST_F(HelperServerTest, DeviceChangesNameOnlyWhatIsKnown) {
    server->deviceChanged(std::string("USB Mic"), std::string("Speakers"));
    server->deviceChanged(std::nullopt, std::string("Speakers"));
    server->deviceChanged(std::nullopt, std::nullopt);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{
                  R"({"event":"device.changed","input":"USB Mic","output":"Speakers"})",
                  R"({"event":"device.changed","output":"Speakers"})",
                  R"({"event":"device.changed"})",
              }));
}

TEST_F(HelperServerTest, ShutdownRefusesNothingYetButStopsDetection) {
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    ASSERT_TRUE(server->isDetecting());
    Task<>::spawn(io.get_executor(), "test",
                  [s = server]() -> Awaitable<void> { co_await s->shutdown(); });
    clock->runReady();
    EXPECT_TRUE(server->isClosing());
    EXPECT_FALSE(server->isDetecting());
    const int polls = processes->polls;
    clock->advance(std::chrono::seconds(10));
    EXPECT_EQ(processes->polls, polls);
    // Shutting down while idle writes no events.
    EXPECT_EQ(takeLines(), std::vector<std::string>{R"({"id":1,"ok":true,"result":{}})"});
}

}  // namespace
}  // namespace tessarin::test

namespace tessarin::test {
namespace {

struct HelperServerBrokerTest : ServerFixture {
    int tokenNeeded = 0;
    std::shared_ptr<HelperAuth> broker =
        HelperAuth::make(io.get_executor(), clock, *URL::parse("https://n.example"), "t1",
                         std::chrono::seconds(60), [this] { ++tokenNeeded; });
    std::vector<std::string> released;

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
    server->useAuth(broker);
    refuseCurrentToken();
    refuseCurrentToken();
    EXPECT_EQ(tokenNeeded, 1);
    send(R"({"id":1,"cmd":"token.update","params":{"accessToken":"t2"}})");
    EXPECT_EQ(takeLines(), std::vector<std::string>{R"({"id":1,"ok":true,"result":{}})"});
    EXPECT_EQ(released, (std::vector<std::string>{"t2", "t2"}));
    EXPECT_EQ(broker->token(), "t2");
}

TEST_F(HelperServerBrokerTest, ShutdownClosesTheBrokerSoNothingStaysParked) {
    server->useAuth(broker);
    refuseCurrentToken();
    Task<>::spawn(io.get_executor(), "test",
                  [s = server]() -> Awaitable<void> { co_await s->shutdown(); });
    clock->runReady();
    EXPECT_EQ(released, std::vector<std::string>{"signed out"});
    EXPECT_TRUE(broker->closed());
}

}  // namespace
}  // namespace tessarin::test
