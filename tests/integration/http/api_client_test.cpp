#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"
#include "core/api/auth_error.hpp"
#include "core/api/auth_provider.hpp"
#include "core/async/manual_clock.hpp"
#include "core/http/beast_http_transport.hpp"
#include "core/http/http_transport_error.hpp"
#include "core/json/json_value.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/test_certificates.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::LoopbackHTTPServer;
using test::Pending;
using Reply = LoopbackHTTPServer::Reply;

// A provider that hands out a fixed sequence of tokens and records each refusal.
class ScriptedAuth final : public AuthProvider {
  public:
    ScriptedAuth(URL url, std::vector<std::string> tokens)
        : url_(std::move(url)), tokens_(std::move(tokens)) {}
    const URL& appURL() const override { return url_; }
    Awaitable<std::string> accessToken() override { co_return tokens_.at(0); }
    Awaitable<std::string> tokenRejected(std::string refused) override {
        rejected.push_back(refused);
        if (rejected.size() >= tokens_.size()) {
            throw AuthError::signedOut();
        }
        co_return tokens_.at(rejected.size());
    }
    std::vector<std::string> rejected;

  private:
    URL url_;
    std::vector<std::string> tokens_;
};

struct APIClientTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackHTTPServer server{LoopbackHTTPServer::Security::tls};
    std::shared_ptr<ScriptedAuth> auth = std::make_shared<ScriptedAuth>(
        *URL::parse(server.baseURL()), std::vector<std::string>{"t1", "t2"});
    std::shared_ptr<BeastHTTPTransport> transport = std::make_shared<BeastHTTPTransport>(
        io.get_executor(), clock,
        BeastHTTPTransport::Options{.extraAuthorityPEM = test::TestCertificates::authority()});
    APIClient client{auth, transport, [] { return std::chrono::system_clock::time_point(1000s); }};

    template <class T>
    std::optional<APIError> apiError(Pending<T>& pending) {
        return test::failure<APIError>(pending);
    }

    std::vector<LoopbackHTTPServer::Request> requests() { return server.requests(); }
};

Segment segment(std::int64_t seq, Speaker speaker, std::string text) {
    return Segment{seq, seq * 1000, seq * 1000 + 500, speaker, std::move(text)};
}

TEST_F(APIClientTest, TranscriptionTokenRequestIsBuiltAsTheServerExpects) {
    server.enqueue(Reply::json(200, R"({"value":"ek_1","expiresAt":1700000000,"model":"m1"})"));
    Pending<TranscriptionToken> pending(io, client.transcriptionToken("meet 1", "mic", "de"));
    auto token = pending.get();
    EXPECT_EQ(token.value, "ek_1");
    EXPECT_EQ(token.model, "m1");
    EXPECT_EQ(token.expiresAt, std::chrono::system_clock::time_point(1700000000s));

    auto request = requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v1/meetings/meet%201/transcription-token");
    EXPECT_EQ(request.header("Authorization"), "Bearer t1");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(JSONValue::parse(request.body),
              JSONValue::object({{"source", "mic"}, {"language", "de"}}));

    server.enqueue(Reply::json(200, R"({"client_secret":{"value":"ek_2"}})"));
    Pending<TranscriptionToken> withoutLanguage(
        io, client.transcriptionToken("m", "system", std::nullopt));
    auto second = withoutLanguage.get();
    EXPECT_EQ(second.expiresAt, std::chrono::system_clock::time_point(1600s));
    EXPECT_EQ(JSONValue::parse(requests().at(1).body), JSONValue::object({{"source", "system"}}));
}

TEST_F(APIClientTest, MeetingIdentifiersStayOneEscapedPathSegmentUnderTheBasePath) {
    auto based = std::make_shared<ScriptedAuth>(*URL::parse(server.baseURL() + "/app/"),
                                                std::vector<std::string>{"t1"});
    APIClient prefixed(based, transport);
    server.setHandler([](const auto&) { return Reply::json(200, "{}"); });
    Pending<void> finish(io, prefixed.finish("a/b?c#d"));
    finish.get();
    EXPECT_EQ(requests().at(0).target, "/app/api/v1/meetings/a%2Fb%3Fc%23d/finish");
    EXPECT_EQ(requests().at(0).body, "{}");
}

TEST_F(APIClientTest, RefusedTokenIsRenewedOnceAndTheRequestRepeated) {
    server.enqueue(Reply::json(401, R"({"error":"unauthorized"})"));
    server.enqueue(Reply::json(200, R"({"user":{"id":5}})"));
    Pending<Me> pending(io, client.me());
    EXPECT_EQ(pending.get().id, "5");
    EXPECT_EQ(auth->rejected, std::vector<std::string>{"t1"});
    ASSERT_EQ(requests().size(), 2u);
    EXPECT_EQ(requests()[0].header("Authorization"), "Bearer t1");
    EXPECT_EQ(requests()[1].header("Authorization"), "Bearer t2");
}

TEST_F(APIClientTest, SecondRefusalIsSignedOutAndForbiddenIsNotRenewed) {
    auth = std::make_shared<ScriptedAuth>(*URL::parse(server.baseURL()),
                                          std::vector<std::string>{"t1", "t2", "t3"});
    client = APIClient(auth, transport);
    server.enqueue(Reply::json(401, "{}"));
    server.enqueue(Reply::json(401, "{}"));
    Pending<Me> twice(io, client.me());
    auto error = apiError(twice);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), APIError::Kind::signedOut);
    EXPECT_EQ(auth->rejected.size(), 1u);
    EXPECT_EQ(requests().size(), 2u);

    server.enqueue(Reply::json(403, R"({"message":"Not yours"})"));
    Pending<Me> forbidden(io, client.me());
    error = apiError(forbidden);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 403);
    EXPECT_EQ(error->errorDescription(), "Not yours");
    EXPECT_EQ(auth->rejected.size(), 1u);
}

TEST_F(APIClientTest, ProviderFailureEndsTheCallWithItsError) {
    auth = std::make_shared<ScriptedAuth>(*URL::parse(server.baseURL()),
                                          std::vector<std::string>{"t1"});
    client = APIClient(auth, transport);
    server.enqueue(Reply::json(401, "{}"));
    Pending<Me> pending(io, client.me());
    auto error = test::failure<AuthError>(pending);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), AuthError::Kind::signedOut);
}

TEST_F(APIClientTest, LoginGatewayIsRecognisedWhateverTheStatus) {
    struct Case {
        const char* name;
        Reply reply;
    };
    Reply cdn;
    cdn.status = 302;
    cdn.headers = {{"Location", "/cdn-cgi/access/login/notara.example?redirect_url=%2F"}};
    Reply loginHost;
    loginHost.status = 307;
    loginHost.headers = {{"Location", "https://Team.CloudflareAccess.com/cdn-cgi?x=1"}};
    Reply page = Reply::json(200, "<html><script src=\"https://team.cloudflareaccess.com/x.js\">");
    page.headers = {{"Content-Type", "text/html; charset=UTF-8"}};
    Reply refusedPage = Reply::json(403, "<html><form action=\"/CDN-CGI/ACCESS/login\">");
    refusedPage.headers = {{"Content-Type", "text/html"}};
    Reply unauthorisedPage = refusedPage;
    unauthorisedPage.status = 401;
    const Case cases[] = {{"redirect into /cdn-cgi/access/", cdn},
                          {"redirect to the login host", loginHost},
                          {"login page on success", page},
                          {"login page on refusal", refusedPage},
                          {"login page on 401, no renewal", unauthorisedPage}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.enqueue(c.reply);
        Pending<TranscriptionToken> pending(io,
                                            client.transcriptionToken("m", "mic", std::nullopt));
        auto error = apiError(pending);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), APIError::Kind::accessLogin);
    }
    EXPECT_TRUE(auth->rejected.empty());
}

TEST_F(APIClientTest, WebPageOnSuccessFailsDecodingCallsButNotIgnoredReplies) {
    Reply page;
    page.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    page.body = "<html><body>Welcome</body></html>";
    server.enqueue(page);
    Pending<TranscriptionToken> token(io, client.transcriptionToken("m", "mic", std::nullopt));
    auto error = apiError(token);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), APIError::Kind::server);
    EXPECT_EQ(error->status(), 200);
    EXPECT_FALSE(error->code());
    EXPECT_EQ(error->errorDescription(),
              "Got a web page instead of the API. Is the app URL right, and is the token allowed "
              "through?");

    server.enqueue(page);
    Pending<void> segments(io, client.appendSegments("m", {segment(1, Speaker::me, "hi")}));
    EXPECT_NO_THROW(segments.get());
}

TEST_F(APIClientTest, UndecodableSuccessBodiesAreDecodingErrorsNamingTheType) {
    struct Case {
        const char* body;
        std::function<std::optional<APIError>()> call;
        const char* type;
    };
    auto run = [&](auto awaitable) {
        Pending pending(io, std::move(awaitable));
        return apiError(pending);
    };
    const Case cases[] = {
        {"not json", [&] { return run(client.me()); }, "Me"},
        {"[1,2]", [&] { return run(client.me()); }, "Me"},
        {R"({"expiresAt":5})",
         [&] { return run(client.transcriptionToken("m", "mic", std::nullopt)); },
         "TranscriptionToken"},
        {R"({"value":42})",
         [&] { return run(client.transcriptionToken("m", "mic", std::nullopt)); },
         "TranscriptionToken"},
        {"",
         [&] { return run(client.appendAudioChunk("m", {}, 1, 0, 10, Speaker::me, std::nullopt)); },
         "ChunkResponse"},
        {R"({"meeting":{"title":"x"},"id":"top"})",
         [&] { return run(client.createMeeting("t", {}, std::nullopt, {})); }, "CreatedMeeting"},
        {R"({"meetings":"no","items":[{"title":"x"}]})", [&] { return run(client.meetings()); },
         "MeetingList"},
        {"{\"events\":", [&] { return run(client.upcoming(24)); }, "UpcomingResponse"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        server.enqueue(Reply::json(200, c.body));
        auto error = c.call();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), APIError::Kind::decoding);
        EXPECT_EQ(error->typeName(), c.type);
        EXPECT_EQ(error->errorDescription(),
                  std::string("Notara sent something unexpected (") + c.type + ").");
    }
}

TEST_F(APIClientTest, ServerErrorsCarryTheBodysCodeAndMessage) {
    server.enqueue(Reply::json(400, R"({"error":"ai_route_not_allowed"})"));
    Pending<TranscriptionToken> route(io, client.transcriptionToken("m", "mic", std::nullopt));
    auto error = apiError(route);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), "ai_route_not_allowed");
    EXPECT_EQ(error->message(), "ai_route_not_allowed");
    EXPECT_TRUE(error->isRealtimeUnavailable());
    EXPECT_TRUE(error->isPermanentRefusal());

    server.enqueue(Reply::json(503, R"({"error":{"code":"ai_provider_not_configured"}})"));
    Pending<TranscriptionToken> provider(io, client.transcriptionToken("m", "mic", std::nullopt));
    error = apiError(provider);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isRealtimeUnavailable());
    EXPECT_EQ(error->errorDescription(), "Notara answered HTTP 503.");

    Reply gatewayPage;
    gatewayPage.status = 502;
    gatewayPage.headers = {{"Content-Type", "text/html"}};
    gatewayPage.body = "<html>Bad gateway</html>";
    server.enqueue(gatewayPage);
    Pending<void> segments(io, client.appendSegments("m", {}));
    error = apiError(segments);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 502);
    EXPECT_FALSE(error->code());
    EXPECT_TRUE(error->isRealtimeUnavailable());
}

TEST_F(APIClientTest, FinishTreatsNotFoundAsDone) {
    server.enqueue(Reply::json(404, "{}"));
    Pending<void> gone(io, client.finish("m"));
    EXPECT_NO_THROW(gone.get());
    server.enqueue(Reply::json(500, "{}"));
    Pending<void> broken(io, client.finish("m"));
    auto error = apiError(broken);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status(), 500);
    EXPECT_EQ(requests().at(0).target, "/api/v1/meetings/m/finish");
}

TEST_F(APIClientTest, UpcomingWithoutCalendarFallsBackToTheUsersConnectURL) {
    server.enqueue(Reply::json(412, R"({"error":"calendar_not_connected"})"));
    server.enqueue(Reply::json(
        200, R"({"google":{"connected":false,"connectUrl":"https://n.example/connect"}})"));
    Pending<UpcomingResponse> pending(io, client.upcoming(1.5));
    auto response = pending.get();
    EXPECT_TRUE(response.events.empty());
    EXPECT_FALSE(response.connected);
    EXPECT_EQ(response.connectURL, URL::parse("https://n.example/connect"));
    EXPECT_EQ(requests().at(0).target, "/api/v1/calendar/upcoming?hours=1.5");
    EXPECT_EQ(requests().at(1).target, "/api/v1/me");

    server.enqueue(Reply::json(500, "{}"));
    Pending<UpcomingResponse> failing(io, client.upcoming(24));
    EXPECT_EQ(apiError(failing)->status(), 500);
    EXPECT_EQ(requests().back().target, "/api/v1/calendar/upcoming?hours=24");
}

TEST_F(APIClientTest, SegmentsAreSentAsABareArray) {
    server.enqueue(Reply::json(200, "{}"));
    Pending<void> pending(io, client.appendSegments("m", {segment(1, Speaker::me, "Hallo \"du\""),
                                                          segment(2, Speaker::them, "ü")}));
    pending.get();
    auto body = JSONValue::parse(requests().at(0).body);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, JSONValue::array({JSONValue::object({{"seq", 1},
                                                          {"startedMs", 1000},
                                                          {"endedMs", 1500},
                                                          {"speaker", "me"},
                                                          {"text", "Hallo \"du\""}}),
                                       JSONValue::object({{"seq", 2},
                                                          {"startedMs", 2000},
                                                          {"endedMs", 2500},
                                                          {"speaker", "them"},
                                                          {"text", "ü"}})}));
}

TEST_F(APIClientTest, CreateMeetingBodyFollowsTheRules) {
    server.enqueue(Reply::json(201, R"({"meeting":{"id":77}})"));
    std::vector<Attendee> attendees{Attendee{"a@x.example", std::nullopt, true},
                                    Attendee{std::nullopt, "Bo", std::nullopt}};
    Pending<CreatedMeeting> pending(
        io, client.createMeeting("Weekly", std::chrono::system_clock::time_point(1741080600s),
                                 "ev1", attendees));
    EXPECT_EQ(pending.get().id, "77");
    auto body = JSONValue::parse(requests().at(0).body);
    EXPECT_EQ(
        body,
        JSONValue::object(
            {{"title", "Weekly"},
             {"startsAt", "2025-03-04T09:30:00Z"},
             {"calendarEventId", "ev1"},
             {"attendees",
              JSONValue::array(
                  {JSONValue::object({{"email", "a@x.example"}, {"name", nullptr}, {"self", true}}),
                   JSONValue::object({{"email", nullptr}, {"name", "Bo"}, {"self", false}})})}}));

    server.enqueue(Reply::json(201, R"({"id":"m2"})"));
    Pending<CreatedMeeting> bare(
        io, client.createMeeting("T", std::chrono::system_clock::time_point(1741080600s),
                                 std::nullopt, {}));
    EXPECT_EQ(bare.get().id, "m2");
    EXPECT_EQ(JSONValue::parse(requests().at(1).body),
              JSONValue::object({{"title", "T"}, {"startsAt", "2025-03-04T09:30:00Z"}}));
}

TEST_F(APIClientTest, MeetingsListIsReturned) {
    server.enqueue(Reply::json(200, R"({"items":[{"id":1,"title":"A"},{"id":"b"}]})"));
    Pending<std::vector<MeetingSummary>> pending(io, client.meetings());
    auto meetings = pending.get();
    ASSERT_EQ(meetings.size(), 2u);
    EXPECT_EQ(meetings[0].id, "1");
    EXPECT_EQ(meetings[1].title, "Untitled meeting");
    EXPECT_EQ(requests().at(0).method, "GET");
    EXPECT_FALSE(requests().at(0).header("Content-Type"));
}

TEST_F(APIClientTest, TransportFailurePassesThroughAfterThirtySeconds) {
    server.enqueue(Reply::with(Reply::Action::hang));
    Pending<Me> pending(io, client.me());
    ASSERT_TRUE(test::runUntil(io, [&] { return requests().size() == 1; }));
    clock->advance(29s);
    test::runUntil(
        io, [] { return false; }, 10ms);
    EXPECT_FALSE(pending.done());
    clock->advance(1s);
    auto error = test::failure<HTTPTransportError>(pending);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HTTPTransportError::Kind::timedOut);
}

// --- the multipart upload --------------------------------------------------------------------

struct Part {
    std::map<std::string, std::string> headers;
    std::string content;
};

// Splits a multipart body by the RFC 2046 rules, independently of how the client builds it.
std::optional<std::vector<Part>> parseMultipart(const std::string& body,
                                                const std::string& boundary) {
    const std::string dash = "--" + boundary;
    if (body.rfind(dash + "\r\n", 0) != 0) {
        return std::nullopt;
    }
    std::vector<Part> parts;
    std::size_t at = dash.size() + 2;
    for (;;) {
        const std::size_t next = body.find("\r\n" + dash, at);
        if (next == std::string::npos) {
            return std::nullopt;
        }
        const std::string part = body.substr(at, next - at);
        const std::size_t split = part.find("\r\n\r\n");
        if (split == std::string::npos) {
            return std::nullopt;
        }
        Part parsed;
        std::size_t line = 0;
        const std::string head = part.substr(0, split) + "\r\n";
        while (line < head.size()) {
            const std::size_t end = head.find("\r\n", line);
            const std::string text = head.substr(line, end - line);
            const std::size_t colon = text.find(": ");
            if (colon == std::string::npos) {
                return std::nullopt;
            }
            parsed.headers[text.substr(0, colon)] = text.substr(colon + 2);
            line = end + 2;
        }
        parsed.content = part.substr(split + 4);
        parts.push_back(parsed);
        at = next + 2 + dash.size();
        if (body.compare(at, 4, "--\r\n") == 0 && at + 4 == body.size()) {
            return parts;
        }
        if (body.compare(at, 2, "\r\n") != 0) {
            return std::nullopt;
        }
        at += 2;
    }
}

TEST_F(APIClientTest, AudioChunkIsUploadedAsMultipartByteForByte) {
    server.enqueue(Reply::json(
        200,
        R"({"segment":{"seq":7,"startedMs":100,"endedMs":900,"speaker":"them","text":"ok"}})"));
    std::vector<std::uint8_t> wav{'R', 'I', 'F', 'F', 0, 1, 2, '\r', '\n', '-', '-', 255};
    Pending<std::optional<Segment>> pending(
        io, client.appendAudioChunk("m/1", wav, 7, 100, 900, Speaker::them, "en"));
    EXPECT_EQ(pending.get(), (Segment{7, 100, 900, Speaker::them, "ok"}));

    auto request = requests().at(0);
    EXPECT_EQ(request.target, "/api/v1/meetings/m%2F1/audio-chunk");
    const std::string contentType = request.header("Content-Type").value_or("");
    const std::string prefix = "multipart/form-data; boundary=";
    ASSERT_EQ(contentType.rfind(prefix, 0), 0u);
    const std::string boundary = contentType.substr(prefix.size());
    ASSERT_EQ(boundary.size(), 21u);
    EXPECT_EQ(boundary.substr(0, 5), "tess-");
    EXPECT_EQ(boundary.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 5),
              std::string::npos);

    const std::string wavText(wav.begin(), wav.end());
    const std::string B = "--" + boundary + "\r\n";
    auto field = [&](const std::string& name, const std::string& value) {
        return B + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    EXPECT_EQ(request.body,
              field("seq", "7") + field("startedMs", "100") + field("endedMs", "900") +
                  field("speaker", "them") + field("language", "en") + B +
                  "Content-Disposition: form-data; name=\"file\"; filename=\"chunk-7.wav\"\r\n"
                  "Content-Type: audio/wav\r\n\r\n" +
                  wavText + "\r\n--" + boundary + "--\r\n");

    auto parts = parseMultipart(request.body, boundary);
    ASSERT_TRUE(parts);
    ASSERT_EQ(parts->size(), 6u);
    const char* names[] = {"seq", "startedMs", "endedMs", "speaker", "language"};
    const char* values[] = {"7", "100", "900", "them", "en"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ((*parts)[i].headers["Content-Disposition"],
                  std::string("form-data; name=\"") + names[i] + "\"");
        EXPECT_EQ((*parts)[i].content, values[i]);
    }
    EXPECT_EQ((*parts)[5].headers["Content-Type"], "audio/wav");
    EXPECT_EQ((*parts)[5].content, wavText);
}

TEST_F(APIClientTest, EachUploadHasAFreshBoundaryAndOmitsAnAbsentLanguage) {
    server.setHandler([](const auto&) { return Reply::json(200, R"({"segment":null})"); });
    Pending<std::optional<Segment>> first(
        io, client.appendAudioChunk("m", {1}, 1, 0, 1, Speaker::me, std::nullopt));
    Pending<std::optional<Segment>> second(
        io, client.appendAudioChunk("m", {1}, 2, 0, 1, Speaker::me, std::nullopt));
    EXPECT_EQ(first.get(), std::nullopt);
    EXPECT_EQ(second.get(), std::nullopt);
    auto a = requests().at(0), b = requests().at(1);
    EXPECT_NE(a.header("Content-Type"), b.header("Content-Type"));
    EXPECT_EQ(a.body.find("language"), std::string::npos);
}

TEST_F(APIClientTest, ChunkReplyWithoutUsableSegmentIsNoSegment) {
    for (const char* body :
         {"{}", "[]", "3", R"({"segment":{"seq":1}})",
          R"({"segment":{"seq":1,"startedMs":0,"endedMs":1,"speaker":"user","text":"x"}})"}) {
        SCOPED_TRACE(body);
        server.enqueue(Reply::json(200, body));
        Pending<std::optional<Segment>> pending(
            io, client.appendAudioChunk("m", {}, 1, 0, 1, Speaker::me, std::nullopt));
        EXPECT_EQ(pending.get(), std::nullopt);
    }
}

// --- the token broker over the wire ---------------------------------------------------------

TEST_F(APIClientTest, ConcurrentRefusalsShareOneTokenRequestAndAllRetryWithTheNewToken) {
    int tokenNeeded = 0;
    auto broker = HelperAuth::make(io.get_executor(), clock, *URL::parse(server.baseURL()), "old",
                                   60s, [&] { ++tokenNeeded; });
    APIClient brokered(broker, transport);
    server.setHandler([](const LoopbackHTTPServer::Request& request) {
        return request.header("Authorization") == "Bearer new" ? Reply::json(204, "")
                                                               : Reply::json(401, "{}");
    });
    std::vector<std::unique_ptr<Pending<void>>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(std::make_unique<Pending<void>>(
            io, brokered.appendSegments("m", {segment(i, Speaker::me, "x")})));
    }
    ASSERT_TRUE(test::runUntil(io, [&] { return broker->parkedRequests() == 3; }));
    EXPECT_EQ(tokenNeeded, 1);
    Pending<void> update(io, broker->update("new"));
    update.get();
    for (auto& call : calls) {
        EXPECT_NO_THROW(call->get());
    }
    EXPECT_EQ(tokenNeeded, 1);
    auto all = requests();
    ASSERT_EQ(all.size(), 6u);
    for (int i = 3; i < 6; ++i) {
        EXPECT_EQ(all[i].header("Authorization"), "Bearer new");
    }
}

TEST_F(APIClientTest, BrokerTimeOutEndsParkedRequestsAsSignedOut) {
    auto broker = HelperAuth::make(io.get_executor(), clock, *URL::parse(server.baseURL()), "old",
                                   60s, [] {});
    APIClient brokered(broker, transport);
    server.setHandler([](const auto&) { return Reply::json(401, "{}"); });
    Pending<void> call(io, brokered.finish("m"));
    ASSERT_TRUE(test::runUntil(io, [&] { return broker->parkedRequests() == 1; }));
    clock->advance(60s);
    auto error = test::failure<AuthError>(call);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), AuthError::Kind::signedOut);
    EXPECT_STREQ(error->what(), "You're signed out. Sign in again.");
}

}  // namespace
}  // namespace tessarin
