#include <chrono>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

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
using Security = LoopbackHTTPServer::Security;
using Reply = LoopbackHTTPServer::Reply;
using Action = Reply::Action;
using Kind = HTTPTransportError::Kind;
using Pending = test::Pending<HTTPTransport::Result>;

struct TransportTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);

    std::shared_ptr<BeastHTTPTransport> makeTransport(BeastHTTPTransport::Options options = {}) {
        options.extraAuthorityPEM = test::TestCertificates::authority();
        return std::make_shared<BeastHTTPTransport>(io.get_executor(), clock, options);
    }

    static HTTPRequest get(const std::string& url, std::chrono::seconds timeout = 30s) {
        HTTPRequest request;
        request.url = *URL::parse(url);
        request.timeout = timeout;
        return request;
    }

    // The body of a request that must succeed.
    std::string fetch(HTTPTransport& transport, const HTTPRequest& request) {
        auto body = Pending(io, transport.send(request)).get().body;
        return {body.begin(), body.end()};
    }

    static std::optional<Kind> errorKind(Pending& pending) {
        auto error = test::failure<HTTPTransportError>(pending);
        return error ? std::optional(error->kind()) : std::nullopt;
    }
};

TEST_F(TransportTest, SendsTheRequestByteForByteAndReturnsTheAnswerAsIs) {
    for (auto security : {Security::plain, Security::tls}) {
        LoopbackHTTPServer server(security);
        auto reply = Reply::json(201, R"({"ok":true})");
        reply.headers.emplace_back("X-Trace", "abc");
        server.enqueue(reply);
        auto transport = makeTransport();

        HTTPRequest request = get(server.baseURL() + "/api/v1/things?x=1");
        request.method = "POST";
        request.headers = {{"Authorization", "Bearer t0k"}, {"Content-Type", "application/json"}};
        request.body = std::vector<std::uint8_t>{'{', '}'};
        auto result = Pending(io, transport->send(request)).get();
        EXPECT_EQ(result.response.status, 201);
        EXPECT_EQ(result.response.header("x-trace"), "abc");
        EXPECT_EQ(result.response.url, request.url);
        EXPECT_EQ(std::string(result.body.begin(), result.body.end()), R"({"ok":true})");
        // Without a body no Content-Length or Transfer-Encoding is sent.
        server.enqueue(Reply::json(200, "[]"));
        EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/x")), "[]");

        const std::string host = server.baseURL().substr(server.baseURL().find("//") + 2);
        ASSERT_EQ(server.requests().size(), 2u);
        EXPECT_EQ(server.requests()[0].raw, "POST /api/v1/things?x=1 HTTP/1.1\r\nHost: " + host +
                                                "\r\nAuthorization: Bearer t0k\r\n"
                                                "Content-Type: application/json\r\n"
                                                "Content-Length: 2\r\n\r\n{}");
        EXPECT_EQ(server.requests()[1].raw, "GET /x HTTP/1.1\r\nHost: " + host + "\r\n\r\n");

        // A redirect is returned, not followed.
        server.enqueue(Reply{302, {{"Location", server.baseURL() + "/elsewhere"}}});
        result = Pending(io, transport->send(get(server.baseURL() + "/start"))).get();
        EXPECT_EQ(result.response.status, 302);
        EXPECT_EQ(result.response.header("Location"), server.baseURL() + "/elsewhere");
        EXPECT_EQ(server.requests().size(), 3u);
    }
}

TEST_F(TransportTest, UntrustedUnreachableOrUnsupportedServersGetNoRequest) {
    LoopbackHTTPServer trusted(Security::tls), untrusted(Security::untrustedTLS);
    const auto closedPort = std::to_string(LoopbackHTTPServer().port());
    struct Case {
        std::string url;
        bool trustTestAuthority;
        std::set<Kind> expected;
    };
    const Case cases[] = {
        {untrusted.baseURL(), true, {Kind::secureConnectionFailed}},
        // The certificate names localhost and the loopback addresses only; 127.0.0.2 may not
        // even accept connections here.
        {"https://127.0.0.2:" + std::to_string(trusted.port()),
         true,
         {Kind::secureConnectionFailed, Kind::cannotConnect}},
        {trusted.baseURL(), false, {Kind::secureConnectionFailed}},
        {"http://127.0.0.1:" + closedPort, true, {Kind::cannotConnect}},
        {"ftp://127.0.0.1/file", true, {Kind::badURL}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto transport = c.trustTestAuthority
                             ? makeTransport()
                             : std::make_shared<BeastHTTPTransport>(io.get_executor(), clock);
        Pending pending(io, transport->send(get(c.url + "/")));
        EXPECT_TRUE(c.expected.contains(errorKind(pending).value_or(Kind::invalidRequest)));
    }
    EXPECT_TRUE(trusted.requests().empty());
    EXPECT_TRUE(untrusted.requests().empty());
}

TEST_F(TransportTest, KeepAliveConnectionIsReusedUntilClosedOrExpired) {
    LoopbackHTTPServer server(Security::tls);
    server.setHandler([](const auto&) { return Reply::json(200, "{}"); });
    auto transport = makeTransport();
    for (int i = 0; i < 3; ++i) {
        fetch(*transport, get(server.baseURL() + "/a"));
    }
    EXPECT_EQ(server.connectionsAccepted(), 1u);
    EXPECT_EQ(transport->idleConnections(), 1u);

    server.enqueue(Reply::with(
        Action::raw, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}"));
    EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/b")), "{}");
    EXPECT_EQ(transport->idleConnections(), 0u);
    fetch(*transport, get(server.baseURL() + "/c"));
    EXPECT_EQ(server.connectionsAccepted(), 2u);

    clock->advance(31s);
    fetch(*transport, get(server.baseURL() + "/d"));
    EXPECT_EQ(server.connectionsAccepted(), 3u);
}

TEST_F(TransportTest, IdleConnectionTheServerDroppedIsReplacedTransparently) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1";
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        std::size_t requests;
    };
    const Case cases[] = {
        // The next request on the kept-alive connection is read but never answered.
        {"closed on the next request", {Reply::json(200, "1"), Reply::with(Action::raw)}, 3},
        // The server closes right after answering, unannounced: the closed connection is skipped.
        {"closed after answering", {Reply::with(Action::raw, answer)}, 2},
    };
    for (const auto& c : cases) {
        for (auto security : {Security::plain, Security::tls}) {
            SCOPED_TRACE(c.name);
            LoopbackHTTPServer server(security);
            auto transport = makeTransport();
            server.enqueue(c.replies[0]);
            EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/1")), "1");
            ASSERT_TRUE(c.replies.size() > 1 || server.waitForClosedConnections());
            for (std::size_t i = 1; i < c.replies.size(); ++i) {
                server.enqueue(c.replies[i]);
            }
            server.enqueue(Reply::json(200, "2"));
            EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/2")), "2");
            EXPECT_EQ(server.requests().size(), c.requests);
            EXPECT_EQ(server.connectionsAccepted(), 2u);
        }
    }
}

TEST_F(TransportTest, SilentOrTricklingServerTimesOutOnTheClock) {
    for (auto action : {Action::hang, Action::trickle}) {
        for (auto security : {Security::plain, Security::tls}) {
            SCOPED_TRACE(testing::Message() << (action == Action::hang ? "silent" : "trickling")
                                            << (security == Security::tls ? " over TLS" : ""));
            LoopbackHTTPServer server(security);
            server.enqueue(Reply::with(action, std::string(100000, 'x')));
            auto transport = makeTransport();
            Pending pending(io, transport->send(get(server.baseURL() + "/slow", 10s)));
            ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
            // Bytes may keep arriving while virtual time passes one second per few real ms.
            for (int second = 0; second < 9; ++second) {
                test::runUntil(
                    io, [] { return false; }, 5ms);
                clock->advance(1s);
            }
            test::runUntil(
                io, [] { return false; }, 20ms);
            EXPECT_FALSE(pending.done());
            clock->advance(1s);
            EXPECT_EQ(errorKind(pending), Kind::timedOut);
            EXPECT_EQ(transport->idleConnections(), 0u);
            EXPECT_TRUE(server.waitForClosedConnections());
            EXPECT_EQ(clock->sleepers(), 0u);
        }
    }
}

TEST_F(TransportTest, BrokenAnswersFailWithTheirOwnError) {
    auto hugeHeader = Reply::json(200, "{}");
    hugeHeader.headers.emplace_back("X-Big", std::string(70000, 'h'));
    const std::pair<Reply, Kind> cases[] = {
        {Reply::with(Action::raw), Kind::connectionLost},
        {Reply::with(Action::raw,
                     "HTTP/1.1 200 OK\r\nContent-Length: 800\r\n\r\n" + std::string(400, 'b')),
         Kind::connectionLost},
        {Reply::with(Action::raw, "SSH-2.0-OpenSSH_9.2\r\n\r\n"), Kind::badServerResponse},
        {Reply::json(200, std::string(1001, 'z')), Kind::responseTooLarge},
        {hugeHeader, Kind::responseTooLarge},
    };
    for (const auto& [reply, expected] : cases) {
        for (auto security : {Security::plain, Security::tls}) {
            SCOPED_TRACE(reply.body.substr(0, 40));
            LoopbackHTTPServer server(security);
            server.enqueue(reply);
            auto transport = makeTransport({.extraAuthorityPEM = {}, .maxBodyBytes = 1000});
            Pending pending(io, transport->send(get(server.baseURL() + "/")));
            EXPECT_EQ(errorKind(pending), expected);
            EXPECT_EQ(transport->idleConnections(), 0u);
        }
    }
}

TEST_F(TransportTest, BodyOfExactlyTheDefaultLimitArrivesWhole) {
    LoopbackHTTPServer server;
    server.enqueue(Reply::json(200, std::string(16 * 1024 * 1024, 'a')));
    auto transport = makeTransport();
    EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/big")).size(), 16u * 1024 * 1024);
}

TEST_F(TransportTest, HeadersThatWouldBreakTheirLineAreRefusedBeforeSending) {
    LoopbackHTTPServer server;
    auto transport = makeTransport();
    const std::pair<std::string, std::pair<std::string, std::string>> cases[] = {
        {"GET", {"Authorization", "Bearer abc\r\nX-Injected: 1"}},
        {"GET", {"Authorization", "Bearer abc\n"}},
        {"GET", {"Authorization", std::string("Bearer a\0b", 10)}},
        {"GET", {"Bad Name", "x"}},
        {"GET", {"", "x"}},
        {"GET /x HTTP/1.1\r\n", {"Accept", "x"}},
    };
    for (const auto& [method, header] : cases) {
        SCOPED_TRACE(header.second);
        HTTPRequest request = get(server.baseURL() + "/");
        request.method = method;
        request.headers = {header};
        Pending pending(io, transport->send(request));
        EXPECT_EQ(errorKind(pending), Kind::invalidRequest);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0u);
}

TEST_F(TransportTest, CancellingTheCallerEndsTheRequestAsCancelled) {
    LoopbackHTTPServer server;
    server.enqueue(Reply::with(Action::hang));
    auto transport = makeTransport();
    Pending pending(io, transport->send(get(server.baseURL() + "/hang")));
    ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
    pending.cancel();
    EXPECT_TRUE(isCancellation(pending.error()));
    EXPECT_TRUE(server.waitForClosedConnections());
    EXPECT_EQ(transport->idleConnections(), 0u);
}

TEST_F(TransportTest, ConcurrentRequestsEachGetTheirOwnAnswer) {
    LoopbackHTTPServer server;
    server.setHandler([](const auto& request) { return Reply::json(200, request.target); });
    auto transport = makeTransport();
    std::vector<std::unique_ptr<Pending>> pending;
    for (int i = 0; i < 5; ++i) {
        pending.push_back(std::make_unique<Pending>(
            io, transport->send(get(server.baseURL() + "/r" + std::to_string(i)))));
    }
    for (int i = 0; i < 5; ++i) {
        auto body = pending[i]->get().body;
        EXPECT_EQ(std::string(body.begin(), body.end()), "/r" + std::to_string(i));
    }
}

}  // namespace
}  // namespace tessarin
