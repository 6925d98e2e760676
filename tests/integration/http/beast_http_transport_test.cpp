#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "core/async/manual_clock.hpp"
#include "core/http/beast_http_transport.hpp"
#include "core/http/http_transport_error.hpp"
#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/test_certificates.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::LoopbackHTTPServer;
using test::Pending;
using Action = LoopbackHTTPServer::Reply::Action;
using Kind = HTTPTransportError::Kind;

struct TransportTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);

    std::shared_ptr<BeastHTTPTransport> makeTransport(BeastHTTPTransport::Options options = {}) {
        options.extraAuthorityPEM = test::TestCertificates::authority();
        return std::make_shared<BeastHTTPTransport>(io.get_executor(), clock, options);
    }

    static HTTPRequest get(const LoopbackHTTPServer& server, const std::string& path) {
        HTTPRequest request;
        request.url = *URL::parse(server.baseURL() + path);
        return request;
    }

    static std::string text(const std::vector<std::uint8_t>& bytes) {
        return {bytes.begin(), bytes.end()};
    }

    static std::optional<Kind> errorKind(Pending<HTTPTransport::Result>& pending) {
        auto error = test::failure<HTTPTransportError>(pending);
        return error ? std::optional(error->kind()) : std::nullopt;
    }
};

TEST_F(TransportTest, SendsTheRequestAsGivenAndReturnsStatusHeadersAndBody) {
    for (auto security : {LoopbackHTTPServer::Security::plain, LoopbackHTTPServer::Security::tls}) {
        LoopbackHTTPServer server(security);
        auto reply = LoopbackHTTPServer::Reply::json(201, R"({"ok":true})");
        reply.headers.emplace_back("X-Trace", "abc");
        server.enqueue(reply);
        auto transport = makeTransport();

        HTTPRequest request = get(server, "/api/v1/things?x=1");
        request.method = "POST";
        request.headers = {{"Authorization", "Bearer t0k"}, {"Content-Type", "application/json"}};
        request.body = std::vector<std::uint8_t>{'{', '}'};
        Pending<HTTPTransport::Result> pending(io, transport->send(request));
        auto result = pending.get();

        EXPECT_EQ(result.response.status, 201);
        EXPECT_EQ(result.response.header("x-trace"), "abc");
        EXPECT_EQ(result.response.url, request.url);
        EXPECT_EQ(text(result.body), R"({"ok":true})");
        auto received = server.requests().at(0);
        const std::string host =
            security == LoopbackHTTPServer::Security::tls ? "localhost" : "127.0.0.1";
        EXPECT_EQ(received.raw,
                  "POST /api/v1/things?x=1 HTTP/1.1\r\n"
                  "Host: " +
                      host + ":" + std::to_string(server.port()) +
                      "\r\n"
                      "Authorization: Bearer t0k\r\n"
                      "Content-Type: application/json\r\n"
                      "Content-Length: 2\r\n"
                      "\r\n{}");
    }
}

TEST_F(TransportTest, RequestWithoutBodySendsNoContentLength) {
    LoopbackHTTPServer server;
    server.enqueue(LoopbackHTTPServer::Reply::json(200, "[]"));
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/x")));
    pending.get();
    auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "GET");
    EXPECT_FALSE(received.header("Content-Length"));
    EXPECT_FALSE(received.header("Transfer-Encoding"));
}

TEST_F(TransportTest, CertificateFromAnUnknownAuthorityIsRefused) {
    LoopbackHTTPServer server(LoopbackHTTPServer::Security::untrustedTLS);
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/")));
    EXPECT_EQ(errorKind(pending), Kind::secureConnectionFailed);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TransportTest, CertificateForAnotherHostIsRefused) {
    // The test certificate names localhost and the loopback addresses only.
    LoopbackHTTPServer server(LoopbackHTTPServer::Security::tls);
    auto transport = makeTransport();
    HTTPRequest request;
    request.url = *URL::parse("https://127.0.0.2:" + std::to_string(server.port()) + "/");
    Pending<HTTPTransport::Result> pending(io, transport->send(request));
    auto kind = errorKind(pending);
    // 127.0.0.2 may not even accept connections here; either way nothing is exchanged.
    EXPECT_TRUE(kind == Kind::secureConnectionFailed || kind == Kind::cannotConnect);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TransportTest, PlainConnectionsAreOnlyMadeToTheTrustedAuthorityWhenSecure) {
    // The client does not trust the test authority unless told to.
    LoopbackHTTPServer server(LoopbackHTTPServer::Security::tls);
    auto transport = std::make_shared<BeastHTTPTransport>(io.get_executor(), clock);
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/")));
    EXPECT_EQ(errorKind(pending), Kind::secureConnectionFailed);
}

TEST_F(TransportTest, RedirectIsReturnedNotFollowed) {
    LoopbackHTTPServer server;
    LoopbackHTTPServer::Reply redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", server.baseURL() + "/elsewhere"}};
    server.enqueue(redirect);
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/start")));
    auto result = pending.get();
    EXPECT_EQ(result.response.status, 302);
    EXPECT_EQ(result.response.header("Location"), server.baseURL() + "/elsewhere");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(TransportTest, KeepAliveConnectionIsReusedAndClosedOneIsNot) {
    LoopbackHTTPServer server(LoopbackHTTPServer::Security::tls);
    server.setHandler([](const auto&) { return LoopbackHTTPServer::Reply::json(200, "{}"); });
    auto transport = makeTransport();
    for (int i = 0; i < 3; ++i) {
        Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/a")));
        pending.get();
    }
    EXPECT_EQ(server.connectionsAccepted(), 1u);
    EXPECT_EQ(transport->idleConnections(), 1u);

    auto closing = LoopbackHTTPServer::Reply::json(200, "{}");
    closing.closeAfter = true;
    server.enqueue(closing);
    Pending<HTTPTransport::Result> last(io, transport->send(get(server, "/b")));
    last.get();
    EXPECT_EQ(transport->idleConnections(), 0u);
    Pending<HTTPTransport::Result> fresh(io, transport->send(get(server, "/c")));
    fresh.get();
    EXPECT_EQ(server.connectionsAccepted(), 2u);
}

TEST_F(TransportTest, IdleConnectionClosedByTheServerIsReplacedTransparently) {
    LoopbackHTTPServer server;
    auto transport = makeTransport();
    server.enqueue(LoopbackHTTPServer::Reply::json(200, "1"));
    Pending<HTTPTransport::Result> first(io, transport->send(get(server, "/1")));
    first.get();
    // The server drops the kept-alive connection without answering the next request on it.
    server.enqueue(LoopbackHTTPServer::Reply::with(Action::closeBeforeAnswer));
    server.enqueue(LoopbackHTTPServer::Reply::json(200, "2"));
    Pending<HTTPTransport::Result> second(io, transport->send(get(server, "/2")));
    EXPECT_EQ(text(second.get().body), "2");
    EXPECT_EQ(server.connectionsAccepted(), 2u);
}

TEST_F(TransportTest, IdleConnectionTheServerHasClosedIsNotUsed) {
    LoopbackHTTPServer server(LoopbackHTTPServer::Security::tls);
    auto transport = makeTransport();
    auto dropped = LoopbackHTTPServer::Reply::json(200, "1");
    dropped.action = Action::answerThenDrop;
    server.enqueue(dropped);
    Pending<HTTPTransport::Result> first(io, transport->send(get(server, "/1")));
    first.get();
    ASSERT_TRUE(server.waitForClosedConnections());
    server.enqueue(LoopbackHTTPServer::Reply::json(200, "2"));
    Pending<HTTPTransport::Result> second(io, transport->send(get(server, "/2")));
    EXPECT_EQ(text(second.get().body), "2");
    // Sent once, on a new connection: never into the closed one.
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].connection, 2u);
}

TEST_F(TransportTest, IdleConnectionsExpireOnTheClock) {
    LoopbackHTTPServer server;
    server.setHandler([](const auto&) { return LoopbackHTTPServer::Reply::json(200, "{}"); });
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> first(io, transport->send(get(server, "/1")));
    first.get();
    clock->advance(31s);
    Pending<HTTPTransport::Result> second(io, transport->send(get(server, "/2")));
    second.get();
    EXPECT_EQ(server.connectionsAccepted(), 2u);
}

TEST_F(TransportTest, ServerThatNeverAnswersTimesOutOnTheClock) {
    for (auto security : {LoopbackHTTPServer::Security::plain, LoopbackHTTPServer::Security::tls}) {
        LoopbackHTTPServer server(security);
        server.enqueue(LoopbackHTTPServer::Reply::with(Action::hang));
        auto transport = makeTransport();
        HTTPRequest request = get(server, "/slow");
        request.timeout = 30s;
        Pending<HTTPTransport::Result> pending(io, transport->send(request));
        ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
        clock->advance(29s);
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

TEST_F(TransportTest, TricklingServerDoesNotExtendTheTimeOut) {
    LoopbackHTTPServer server;
    auto reply = LoopbackHTTPServer::Reply::with(Action::trickle);
    reply.body = std::string(100000, 'x');
    reply.trickleInterval = 2ms;
    server.enqueue(reply);
    auto transport = makeTransport();
    HTTPRequest request = get(server, "/trickle");
    request.timeout = 10s;
    Pending<HTTPTransport::Result> pending(io, transport->send(request));
    // Bytes keep arriving while virtual time passes one second per real few milliseconds.
    for (int step = 0; step < 12 && !pending.done(); ++step) {
        test::runUntil(
            io, [] { return false; }, 5ms);
        clock->advance(1s);
    }
    EXPECT_EQ(errorKind(pending), Kind::timedOut);
}

TEST_F(TransportTest, BrokenAnswersFailWithTheirOwnError) {
    struct Case {
        const char* name;
        LoopbackHTTPServer::Reply reply;
        Kind expected;
    };
    auto midBody = LoopbackHTTPServer::Reply::with(Action::closeMidBody);
    midBody.body = std::string(800, 'b');
    auto garbage = LoopbackHTTPServer::Reply::with(Action::raw);
    garbage.body = "SSH-2.0-OpenSSH_9.2\r\n\r\n";
    auto tooLarge = LoopbackHTTPServer::Reply::json(200, std::string(2000, 'z'));
    auto hugeHeader = LoopbackHTTPServer::Reply::json(200, "{}");
    hugeHeader.headers.emplace_back("X-Big", std::string(70000, 'h'));
    const Case cases[] = {
        {"closed before answering", LoopbackHTTPServer::Reply::with(Action::closeBeforeAnswer),
         Kind::connectionLost},
        {"closed mid-body", midBody, Kind::connectionLost},
        {"not HTTP", garbage, Kind::badServerResponse},
        {"body over the limit", tooLarge, Kind::responseTooLarge},
        {"head over the limit", hugeHeader, Kind::responseTooLarge},
    };
    for (const auto& c : cases) {
        for (auto security :
             {LoopbackHTTPServer::Security::plain, LoopbackHTTPServer::Security::tls}) {
            SCOPED_TRACE(std::string(c.name) +
                         (security == LoopbackHTTPServer::Security::tls ? " over TLS" : ""));
            LoopbackHTTPServer server(security);
            server.enqueue(c.reply);
            BeastHTTPTransport::Options options;
            options.maxBodyBytes = 1000;
            auto transport = makeTransport(options);
            Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/")));
            EXPECT_EQ(errorKind(pending), c.expected);
            EXPECT_EQ(transport->idleConnections(), 0u);
        }
    }
}

TEST_F(TransportTest, BodyOfExactlyTheDefaultLimitArrivesWhole) {
    LoopbackHTTPServer server;
    server.enqueue(LoopbackHTTPServer::Reply::json(200, std::string(16 * 1024 * 1024, 'a')));
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/big")));
    EXPECT_EQ(pending.get().body.size(), 16u * 1024 * 1024);
}

TEST_F(TransportTest, NoServerListeningIsCannotConnect) {
    unsigned short port;
    {
        LoopbackHTTPServer server;
        port = server.port();
    }
    auto transport = makeTransport();
    HTTPRequest request;
    request.url = *URL::parse("http://127.0.0.1:" + std::to_string(port) + "/");
    Pending<HTTPTransport::Result> pending(io, transport->send(request));
    EXPECT_EQ(errorKind(pending), Kind::cannotConnect);
}

TEST_F(TransportTest, NonHTTPURLIsRefusedWithoutConnecting) {
    auto transport = makeTransport();
    HTTPRequest request;
    request.url = *URL::parse("ftp://127.0.0.1/file");
    Pending<HTTPTransport::Result> pending(io, transport->send(request));
    EXPECT_EQ(errorKind(pending), Kind::badURL);
}

TEST_F(TransportTest, HeadersThatWouldBreakTheirLineAreRefusedBeforeSending) {
    LoopbackHTTPServer server;
    server.setHandler([](const auto&) { return LoopbackHTTPServer::Reply::json(200, "{}"); });
    auto transport = makeTransport();
    struct Case {
        std::string method;
        std::pair<std::string, std::string> header;
    };
    const Case cases[] = {
        {"GET", {"Authorization", "Bearer abc\r\nX-Injected: 1"}},
        {"GET", {"Authorization", "Bearer abc\n"}},
        {"GET", {"Authorization", std::string("Bearer a\0b", 10)}},
        {"GET", {"Bad Name", "x"}},
        {"GET", {"", "x"}},
        {"GET /x HTTP/1.1\r\n", {"Accept", "x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.second);
        HTTPRequest request = get(server, "/");
        request.method = c.method;
        request.headers = {c.header};
        Pending<HTTPTransport::Result> pending(io, transport->send(request));
        EXPECT_EQ(errorKind(pending), Kind::invalidRequest);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0u);
}

TEST_F(TransportTest, CancellingTheCallerEndsTheRequestAsCancelled) {
    LoopbackHTTPServer server;
    server.enqueue(LoopbackHTTPServer::Reply::with(Action::hang));
    auto transport = makeTransport();
    Pending<HTTPTransport::Result> pending(io, transport->send(get(server, "/hang")));
    ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
    pending.cancel();
    ASSERT_TRUE(pending.finish());
    EXPECT_TRUE(isCancellation(pending.error()));
    EXPECT_TRUE(server.waitForClosedConnections());
    EXPECT_EQ(transport->idleConnections(), 0u);
}

TEST_F(TransportTest, ConcurrentRequestsEachGetTheirOwnAnswer) {
    LoopbackHTTPServer server;
    server.setHandler([](const LoopbackHTTPServer::Request& request) {
        return LoopbackHTTPServer::Reply::json(200, request.target);
    });
    auto transport = makeTransport();
    std::vector<std::unique_ptr<Pending<HTTPTransport::Result>>> pending;
    for (int i = 0; i < 5; ++i) {
        pending.push_back(std::make_unique<Pending<HTTPTransport::Result>>(
            io, transport->send(get(server, "/r" + std::to_string(i)))));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(text(pending[i]->get().body), "/r" + std::to_string(i));
    }
}

}  // namespace
}  // namespace tessarin
