#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/http/url.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/pending.hpp"
#include "support/server_fixture.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using HelperServerTest = ServerFixture;

TEST_F(HelperServerTest, EveryCommandAnswersItsExactLineAndLogsFailuresByCode) {
    const std::string hello = success(R"({"macos":"6.1.0","protocol":1,"version":"0.1.0"})");
    const std::string denied = success(R"({"mic":"denied","systemAudio":"unknown"})");
    const std::string otherProtocol =
        refusal("unsupported_protocol", "This helper speaks protocol 1");
    const std::string badKind = refusal("bad_params", R"(kind must be \"mic\" or \"systemAudio\")");
    const std::string noToken = refusal("bad_params", "accessToken is required");
    const std::string badFlag = refusal("bad_params", "enabled must be true or false");
    // Lines the codec refuses are answered with the id they had, and not logged.
    const auto badRequest = [](const std::string& id, const std::string& message) {
        return R"({"error":{"code":"bad_request","message":")" + message + R"("},"id":)" + id +
               R"(,"ok":false})";
    };
    const std::string badId = "id must be a number or a string";
    const std::string notObject = badRequest("null", "Each line must be a JSON object");
    const std::pair<std::string, std::string> cases[] = {
        {request("hello"), hello},
        {request("hello", R"({"protocol":1.0})"), hello},
        {request("hello", R"({"protocol":2})"), otherProtocol},
        {request("hello", R"({"protocol":0})"), otherProtocol},
        {request("hello", R"({"protocol":"2"})"), hello},
        {request("hello", R"({"protocol":1.5})"), hello},
        {request("permissions.status"), denied},
        {request("permissions.request", R"({"kind":"camera"})"), badKind},
        {request("permissions.request", R"({"kind":"systemAudio"})"), denied},
        {request("token.update", R"({"accessToken":""})"), noToken},
        {request("token.update", R"({"accessToken":5})"), noToken},
        {request("token.update", R"({"accessToken":"t"})"), success("{}")},
        {request("detect.set", R"({"enabled":1})"), badFlag},
        {request("detect.set", R"({"enabled":false})"), success("{}")},
        {request("record.stop"), refusal("not_recording", "Not recording")},
        {request("hello.world"), refusal("unknown_command", "Unknown cmd hello.world")},
        {R"({"id":"a","cmd":"detect.set","params":{"enabled":false},"x":[]})",
         R"({"id":"a","ok":true,"result":{}})"},
        {R"({"id":true,"cmd":""})", badRequest("true", "Missing cmd")},
        {R"({"id":2,"cmd":5})", badRequest("2", "Missing cmd")},
        {R"({"id":7.0,"cmd":"hello"})", badRequest("7", badId)},
        {R"({"id":[1],"cmd":"hello"})", badRequest("[1]", badId)},
        {R"({"cmd":"hello"})", badRequest("null", badId)},
        {"[1,2]", notObject},
        {"42", notObject},
        {"not json", notObject},
        {"  \t" + request("hello") + "\xE2\x80\xA8\r", hello},
        {"", ""},
        {"\xE2\x80\x83\xC2\xA0", ""},
    };
    for (const auto& [line, response] : cases) {
        send(line);
        EXPECT_EQ(takeLines(), response.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{response})
            << line;
    }
    const std::string badParams = " failed: bad_params";
    EXPECT_EQ(logs,
              (std::vector<std::string>{
                  "hello failed: unsupported_protocol", "hello failed: unsupported_protocol",
                  "permissions.request" + badParams, "primed", "token.update" + badParams,
                  "token.update" + badParams, "detect.set" + badParams,
                  "record.stop failed: not_recording", "hello.world failed: unknown_command"}));
}

TEST_F(HelperServerTest, PermissionsNameEveryMicStatusAndUnexpectedErrorsAnswerInternal) {
    using enum CapturePermission::Status;
    const std::pair<CapturePermission::Status, std::string> statuses[] = {
        {granted, "granted"},
        {denied, "denied"},
        {undetermined, "undetermined"},
        {unknown, "unknown"}};
    for (const auto& [status, name] : statuses) {
        auto env = environment();
        env.micStatus = [status] { return status; };
        env.requestMic = []() -> Awaitable<bool> { throw std::runtime_error("prompt exploded"); };
        makeServer(env);
        send(request("permissions.status"));
        send(request("permissions.request", R"({"kind":"mic"})", 2));
        EXPECT_EQ(takeLines(), (std::vector<std::string>{
                                   success(R"({"mic":")" + name + R"(","systemAudio":"unknown"})"),
                                   refusal("internal", "prompt exploded", 2)}));
    }
    EXPECT_TRUE(logs.empty());
}

// A changed output alone is reported in the real helper's test.
TEST_F(HelperServerTest, DeviceChangesNameOnlyWhatIsKnown) {
    server->deviceChanged(std::string("USB Mic"), std::nullopt);
    server->deviceChanged(std::nullopt, std::nullopt);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{R"({"event":"device.changed","input":"USB Mic"})",
                                        R"({"event":"device.changed"})"}));
}

TEST_F(HelperServerTest, ShutdownClosesTheBrokerStopsDetectionAndWritesNothing) {
    auto broker = HelperAuth::create(io.get_executor(), clock, *URL::parse("https://n.example"),
                                     "t1", 60s, nullptr);
    server->useAuth(broker);
    send(request("detect.set", R"({"enabled":true})"));
    Pending<void> shutdown(io, server->shutdown());
    clock->runReady();
    EXPECT_TRUE(shutdown.done());
    EXPECT_EQ(server->state(), HelperServer::State::closing);
    EXPECT_TRUE(broker->closed());
    EXPECT_FALSE(server->isDetecting());
    EXPECT_EQ(takeLines(), std::vector<std::string>{success("{}")});
    EXPECT_EQ(clock->sleepers(), 0u);  // no detection loop left behind
}

}  // namespace
}  // namespace tessarin::test
