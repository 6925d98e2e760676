#include <set>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"
#include "core/api/auth_error.hpp"
#include "core/api/auth_provider.hpp"
#include "core/async/manual_clock.hpp"
#include "core/http/http_transport_error.hpp"
#include "core/net/beast_http_transport.hpp"
#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/test_certificates.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::LoopbackHTTPServer;
using test::Pending;
using Reply = LoopbackHTTPServer::Reply;
using Time = std::chrono::system_clock::time_point;

// Hands out "t1", renews to "t2" and "t3", then signs out; records each refused token.
struct ScriptedAuth final : AuthProvider {
    explicit ScriptedAuth(URL url) : url(std::move(url)) {}
    const URL& appURL() const override { return url; }
    Awaitable<std::string> accessToken() override { co_return "t1"; }
    Awaitable<std::string> tokenRejected(std::string refused) override {
        rejected.push_back(refused);
        if (rejected.size() > 2) {
            throw AuthError::signedOut();
        }
        co_return "t" + std::to_string(rejected.size() + 1);
    }
    URL url;
    std::vector<std::string> rejected;
};

// The client on a TLS loopback server, under an app URL with a path of its own.
struct APIClientTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackHTTPServer server{LoopbackHTTPServer::Security::tls};
    std::shared_ptr<ScriptedAuth> auth =
        std::make_shared<ScriptedAuth>(*URL::parse(server.baseURL() + "/app/"));
    std::shared_ptr<BeastHTTPTransport> transport = std::make_shared<BeastHTTPTransport>(
        io.get_executor(), clock,
        BeastHTTPTransport::Options{.extraAuthorityPEM = test::TestCertificates::authority()});
    APIClient client{auth, transport, [] { return Time(1000s); }};

    template <class T>
    T await(Awaitable<T> call) {
        return Pending<T>(io, std::move(call)).get();
    }
    template <class E = APIError, class T>
    std::optional<E> failure(Awaitable<T> call) {
        Pending<T> pending(io, std::move(call));
        return test::failure<E>(pending);
    }
    LoopbackHTTPServer::Request request(std::size_t index) { return server.requests().at(index); }
};

// Requests byte for byte: a meeting's attendees each with all fields, "self" false if unset, its
// start in whole seconds; an upload's fields, then the file. Finishing a meeting that is gone is
// done as well.
TEST_F(APIClientTest, RequestsAreSentAsTheServerExpects) {
    server.setHandler([](const auto&) {
        return Reply::json(201, R"({"meeting":{"id":77},"value":"k","segment":{"seq":7,)"
                                R"("startedMs":100,"endedMs":900,"speaker":"them","text":"ok"}})");
    });
    // Without an expiry the token lasts ten minutes from the client's clock.
    EXPECT_EQ(await(client.transcriptionToken("m 1", "mic", "de")).expiresAt, Time(1600s));
    const std::vector<Attendee> people{{"a@x.example", {}, true}, {{}, "Bo", {}}};
    EXPECT_EQ(await(client.createMeeting("Weekly", Time(1741080600999ms), "ev1", people)).id, "77");
    const std::vector<std::uint8_t> wav{'R', 'I', 'F', 'F', 0, 1, 2, '\r', '\n', '-', '-', 255};
    EXPECT_EQ(await(client.appendAudioChunk("m/1", wav, 7, 100, 900, Speaker::them, "en")),
              (Segment{7, 100, 900, Speaker::them, "ok"}));
    server.enqueue(Reply::json(404, "{}"));
    await(client.finish("a/b?c#d"));
    const std::string type = request(2).header("Content-Type").value_or("");
    const std::string boundary = type.substr(type.find("tess-"));
    EXPECT_EQ(type, "multipart/form-data; boundary=" + boundary);
    const std::string part = "--" + boundary + "\r\nContent-Disposition: form-data; name=";
    const std::string upload = part + "\"seq\"\r\n\r\n7\r\n" +          //
                               part + "\"startedMs\"\r\n\r\n100\r\n" +  //
                               part + "\"endedMs\"\r\n\r\n900\r\n" +    //
                               part + "\"speaker\"\r\n\r\nthem\r\n" +   //
                               part + "\"language\"\r\n\r\nen\r\n" +    //
                               part + "\"file\"; filename=\"chunk-7.wav\"\r\n" +
                               "Content-Type: audio/wav\r\n\r\n" +
                               std::string(wav.begin(), wav.end()) + "\r\n--" + boundary + "--\r\n";
    // clang-format off
    const std::pair<const char*, std::string> sent[] = {
        {"/app/api/v1/meetings/m%201/transcription-token", R"({"language":"de","source":"mic"})"},
        {"/app/api/v1/meetings", R"({"attendees":[{"email":"a@x.example","name":null,"self":true},{"email":null,"name":"Bo","self":false}],"calendarEventId":"ev1","startsAt":"2025-03-04T09:30:00Z","title":"Weekly"})"},
        {"/app/api/v1/meetings/m%2F1/audio-chunk", upload},
        {"/app/api/v1/meetings/a%2Fb%3Fc%23d/finish", "{}"}};
    // clang-format on
    for (std::size_t i = 0; i < std::size(sent); ++i) {
        EXPECT_EQ(request(i).target, sent[i].first);
        EXPECT_EQ(request(i).body, sent[i].second) << i;
    }
    EXPECT_EQ(request(0).header("Accept"), "application/json");
    EXPECT_EQ(request(0).header("Content-Type"), "application/json");
    server.enqueue(Reply::json(410, "{}"));
    EXPECT_EQ(failure(client.finish("m"))->status(), 410);
    // Each upload has a boundary of its own; a reply without a whole segment is no failure.
    server.enqueue(Reply::json(200, R"({"segment":{"seq":1}})"));
    EXPECT_EQ(await(client.appendAudioChunk("m", {}, 1, 0, 1, Speaker::me, std::nullopt)),
              std::nullopt);
    EXPECT_NE(request(5).header("Content-Type"), type);
}

// A login gateway is recognised before the status is looked at, so its 401 page renews nothing. A
// success body that is not the reply expected is an error: a web page one of the server's own.
TEST_F(APIClientTest, RefusalsRenewTheTokenOnceAndOnlyOn401) {
    server.enqueue(Reply::json(401, R"({"error":"unauthorized"})"));
    server.enqueue(Reply::json(200, R"({"user":{"id":5}})"));
    EXPECT_EQ(await(client.me()).id, "5");
    EXPECT_EQ(auth->rejected, std::vector<std::string>{"t1"});
    EXPECT_EQ(request(1).header("Authorization"), "Bearer t2");
    // Refused again after the renewal: signed out without asking a third time.
    server.enqueue(Reply::json(401, "{}"));
    server.enqueue(Reply::json(401, "{}"));
    EXPECT_EQ(failure(client.me())->kind(), APIError::Kind::signedOut);
    server.enqueue(Reply::json(403, "{}"));
    EXPECT_EQ(failure(client.me())->status(), 403);
    server.enqueue(
        {401, {{"Content-Type", "text/html"}}, "<html><form action=\"/CDN-CGI/ACCESS/login\">"});
    EXPECT_EQ(failure(client.me())->kind(), APIError::Kind::accessLogin);
    EXPECT_EQ(auth->rejected.size(), 2u);
    server.enqueue({200, {{"Content-Type", "text/html; charset=utf-8"}}, "<html>Welcome</html>"});
    EXPECT_EQ(failure(client.me())->status(), 200);
    server.enqueue(Reply::json(200, "[1,2]"));
    EXPECT_EQ(failure(client.meetings()), APIError::decoding("MeetingList"));
    // The provider's own failure ends the call.
    server.enqueue(Reply::json(401, "{}"));
    EXPECT_EQ(failure<AuthError>(client.me())->kind(), AuthError::Kind::signedOut);
}

// 409, 412 and 428 say that no calendar is connected; 410, between them, is an error like others.
TEST_F(APIClientTest, UpcomingWithoutACalendarFallsBackToTheUsersConnectURL) {
    server.setHandler([](const auto&) {
        return Reply::json(200, R"({"google":{"connectUrl":"https://n.example/connect"}})");
    });
    for (int status : {409, 412, 428}) {
        server.enqueue(Reply::json(status, R"({"error":"calendar_not_connected"})"));
        EXPECT_EQ(await(client.upcoming(1.5)),
                  (UpcomingResponse{{}, false, URL::parse("https://n.example/connect")}))
            << status;
    }
    EXPECT_EQ(request(0).target, "/app/api/v1/calendar/upcoming?hours=1.5");
    server.enqueue(Reply::json(410, "{}"));
    EXPECT_EQ(failure(client.upcoming(24))->status(), 410);
    EXPECT_EQ(request(6).target, "/app/api/v1/calendar/upcoming?hours=24");
}

TEST_F(APIClientTest, TransportFailurePassesThroughAfterThirtySilentSeconds) {
    server.enqueue(Reply::with(Reply::Action::hang));
    Pending<Me> pending(io, client.me());
    ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
    clock->advance(29s);
    test::settle(io, 10ms);
    EXPECT_FALSE(pending.done());
    clock->advance(1s);
    EXPECT_EQ(test::failure<HTTPTransportError>(pending)->kind(),
              HTTPTransportError::Kind::timedOut);
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// The parts of every shape of error body, and the classification of what they make: written out
// rather than computed, the statuses each answer is true for, with their neighbours.
TEST(APIClientRules, ServerErrorsAreReadFromEveryShapeAndClassifiedByStatusOrCode) {
    using Parts = APIClient::ErrorParts;
    // clang-format off
    const std::pair<std::string, Parts> cases[] = {
        {R"({"error":"ai_route_not_allowed"})", {"ai_route_not_allowed", "ai_route_not_allowed"}},
        {R"({"error":"quota","message":"Too many"})", {"quota", "Too many"}},
        {R"({"error":{"code":"c","message":"m"},"message":"top"})", {"c", "m"}},
        {R"({"error":{"code":5}})", {}}, {R"({"error":7,"message":"top"})", {std::nullopt, "top"}},
        {R"(["error"])", {}}, {"<html>", {}}};
    // clang-format on
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(APIClient::errorParts(bytesOf(body)), expected) << body;
    }
    const std::set<int> refusals{400, 403, 404, 410, 422, 499}, unavailable{403, 501, 502, 503};
    for (int status :
         {200, 399, 400, 401, 403, 404, 408, 409, 410, 422, 429, 499, 500, 501, 502, 503, 504}) {
        const auto error = APIError::server(status, std::nullopt, std::nullopt);
        EXPECT_EQ(error.isPermanentRefusal(), refusals.contains(status)) << status;
        EXPECT_EQ(error.isRealtimeUnavailable(), unavailable.contains(status)) << status;
    }
    EXPECT_TRUE(APIError::server(500, "ai_route_not_allowed", {}).isRealtimeUnavailable());
    EXPECT_FALSE(APIError::server(503, "ai_provider_not_configured", {}).isRealtimeUnavailable());
}

// The login host and its subdomains (not names that merely end like it), a Location on any 3xx,
// and the first 64 KiB of an HTML page (the marker ending at the last byte scanned, then one past).
TEST(APIClientRules, AccessLoginIsSeenInTheHostARedirectOrTheStartOfAPage) {
    const std::string api = "https://n.example/api", html = "text/html";
    const std::string far(65536 - 16, 'x');
    // clang-format off
    const std::tuple<std::string, int, std::string, std::string, bool> cases[] = {
        // where the answer came from, status, Location on 3xx else Content-Type, body, detected
        {"https://team.cloudflareaccess.com/x", 200, "", "", true}, {"https://cloudflareaccess.com/", 200, "", "", true},
        {"https://notcloudflareaccess.com/", 200, "", "", false},
        {api, 300, "/cdn-cgi/access/login/n.example?redirect_url=%2F", "", true},
        {api, 399, "https://t.cloudflareaccess.com/login", "", true}, {api, 302, "https://n.example/b", "", false},
        {api, 400, "/cdn-cgi/access/login", "", false}, {api, 299, "/cdn-cgi/access/login", "", false},
        {api, 200, html, "<a href='https://x.CloudflareAccess.com'>", true},
        {api, 200, "application/json", "{\"u\":\"cloudflareaccess.com\"}", false},
        {api, 200, html, far + "/cdn-cgi/access/", true}, {api, 200, html, far + "x/cdn-cgi/access/", false},
        {api, 200, html, "\xff\xfe/cdn-cgi/access/\xc3", true}};
    // clang-format on
    for (const auto& [url, status, header, body, expected] : cases) {
        const bool redirect = status / 100 == 3 || header.starts_with("/");
        HTTPResponse response{
            status, *URL::parse(url), {{redirect ? "Location" : "Content-Type", header}}};
        EXPECT_EQ(APIClient::isAccessLogin(bytesOf(body), response), expected)
            << url << " " << status << " " << header;
    }
}

}  // namespace
}  // namespace tessarin
