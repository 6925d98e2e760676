#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gmock/gmock.h>
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

constexpr Security bothSecurities[] = {Security::plain, Security::tls};

struct TransportTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);

    std::shared_ptr<BeastHTTPTransport> makeTransport(BeastHTTPTransport::Options options = {}) {
        options.extraAuthorityPEM = test::TestCertificates::authority();
        return std::make_shared<BeastHTTPTransport>(io.get_executor(), clock, options);
    }

    static HTTPRequest get(const std::string& url) {
        HTTPRequest request;
        request.url = *URL::parse(url);
        return request;
    }

    static HTTPRequest post(const std::string& url, std::size_t bytes) {
        HTTPRequest request = get(url);
        request.method = "POST";
        request.body = std::vector<std::uint8_t>(bytes, 'w');
        return request;
    }

    static std::string text(const HTTPTransport::Result& result) {
        return {result.body.begin(), result.body.end()};
    }

    // The body of a request that must succeed.
    std::string fetch(HTTPTransport& transport, const HTTPRequest& request) {
        return text(Pending(io, transport.send(request)).get());
    }

    static std::optional<Kind> errorKind(Pending& pending) {
        auto error = test::failure<HTTPTransportError>(pending);
        return error ? std::optional(error->kind()) : std::nullopt;
    }
};

TEST_F(TransportTest, SendsTheRequestByteForByteAndReturnsTheAnswerAsIs) {
    for (auto security : bothSecurities) {
        LoopbackHTTPServer server(security);
        auto reply = Reply::json(201, R"({"ok":true})");
        reply.headers.emplace_back("X-Trace", "abc");
        server.enqueue(reply);
        auto transport = makeTransport({.userAgent = "agent/1.0"});

        HTTPRequest request = get(server.baseURL() + "/api/v1/things?x=1");
        request.method = "POST";
        request.headers = {{"Authorization", "Bearer t0k"}, {"Content-Type", "application/json"}};
        request.body = std::vector<std::uint8_t>{'{', '}'};
        auto result = Pending(io, transport->send(request)).get();
        EXPECT_EQ(result.response.status, 201);
        EXPECT_EQ(result.response.header("x-trace"), "abc");
        EXPECT_EQ(result.response.url, request.url);
        EXPECT_EQ(text(result), R"({"ok":true})");
        // Without a body no Content-Length or Transfer-Encoding is sent.
        server.enqueue(Reply::json(200, "[]"));
        EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/x")), "[]");

        const std::string host = server.baseURL().substr(server.baseURL().find("//") + 2);
        const std::string head = "HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: agent/1.0\r\n";
        ASSERT_EQ(server.requests().size(), 2u);
        EXPECT_EQ(server.requests()[0].raw, "POST /api/v1/things?x=1 " + head +
                                                "Authorization: Bearer t0k\r\n"
                                                "Content-Type: application/json\r\n"
                                                "Content-Length: 2\r\n\r\n{}");
        EXPECT_EQ(server.requests()[1].raw, "GET /x " + head + "\r\n");

        // A redirect is returned, not followed.
        server.enqueue(Reply{302, {{"Location", server.baseURL() + "/elsewhere"}}});
        result = Pending(io, transport->send(get(server.baseURL() + "/start"))).get();
        EXPECT_EQ(result.response.status, 302);
        EXPECT_EQ(result.response.header("Location"), server.baseURL() + "/elsewhere");
        EXPECT_EQ(server.requests().size(), 3u);
        // The time limit of a finished request leaves nothing behind.
        clock->runReady();
        EXPECT_EQ(clock->sleepers(), 0u);
    }
}

TEST_F(TransportTest, OnlyTrustedServersAndLoopbackAddressesGetARequest) {
    LoopbackHTTPServer plain, trusted(Security::tls), otherName(Security::otherNameTLS),
        untrusted(Security::untrustedTLS), onAnotherAddress(Security::tls, "127.0.0.2"), local,
        top(Security::plain, "127.255.255.254"), v6(Security::plain, "::1");
    const auto port = [](const LoopbackHTTPServer& server) {
        return ":" + std::to_string(server.port());
    };
    struct Case {
        std::string url;
        std::optional<Kind> expected;  // nothing: the server answers
        std::string reason = {};
    };
    const Case cases[] = {
        {trusted.baseURL(), std::nullopt},
        {untrusted.baseURL(), Kind::secureConnectionFailed},
        {otherName.baseURL(), Kind::secureConnectionFailed, "hostname mismatch"},
        // The certificate names 127.0.0.1 but not 127.0.0.2.
        {"https://127.0.0.2" + port(onAnotherAddress), Kind::secureConnectionFailed,
         "IP address mismatch"},
        {"http://127.0.0.1" + port(LoopbackHTTPServer()), Kind::cannotConnect},
        {"ftp://127.0.0.1/file", Kind::badURL},
        // Plain HTTP reaches every loopback address, by name or number.
        {"http://localhost" + port(local), std::nullopt},
        {"http://127.255.255.254" + port(top), std::nullopt},
        {"http://[::1]" + port(v6), std::nullopt},
        // Encoded names are not decoded into other names or into header lines.
        {"http://evil.example%00.localhost" + port(plain), Kind::badURL},
        {"http://localhost%0d%0aX-Injected%3a1" + port(plain), Kind::badURL},
        // These addresses lead to this computer but are not loopback addresses.
        {"http://0.0.0.0" + port(plain), Kind::badURL},
        {"http://[::ffff:127.0.0.1]" + port(plain), Kind::badURL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto transport = makeTransport();
        Pending pending(io, transport->send(get(c.url + "/")));
        EXPECT_EQ(errorKind(pending), c.expected);
        auto error = test::failure<HTTPTransportError>(pending);
        EXPECT_THAT(error ? error->what() : "", testing::HasSubstr(c.reason));
    }
    // Without the test authority even the right certificate is refused.
    BeastHTTPTransport systemTrustOnly(io.get_executor(), clock);
    Pending pending(io, systemTrustOnly.send(get(trusted.baseURL() + "/")));
    EXPECT_EQ(errorKind(pending), Kind::secureConnectionFailed);
    EXPECT_EQ(plain.connectionsAccepted(), 0u);
    for (auto* server : {&otherName, &untrusted, &onAnotherAddress}) {
        EXPECT_TRUE(server->requests().empty());
    }
}

TEST_F(TransportTest, ConnectionsAreKeptForReuseUntilClosedExpiredOrTooMany) {
    LoopbackHTTPServer server(Security::tls);
    server.setHandler([](const auto& request) { return Reply::json(200, request.target); });
    auto transport = makeTransport();
    // Concurrent requests each get a connection and their own answer; four are kept afterwards.
    std::vector<std::unique_ptr<Pending>> pending;
    for (int i = 0; i < 5; ++i) {
        pending.push_back(std::make_unique<Pending>(
            io, transport->send(get(server.baseURL() + "/r" + std::to_string(i)))));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(text(pending[i]->get()), "/r" + std::to_string(i));
    }
    EXPECT_EQ(transport->idleConnections(), 4u);
    EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/a")), "/a");
    EXPECT_EQ(server.connectionsAccepted(), 5u);

    server.enqueue(Reply::with(
        Action::raw, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}"));
    EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/b")), "{}");
    EXPECT_EQ(transport->idleConnections(), 3u);

    clock->advance(31s);
    fetch(*transport, get(server.baseURL() + "/c"));
    EXPECT_EQ(server.connectionsAccepted(), 6u);
    EXPECT_EQ(transport->idleConnections(), 1u);
}

TEST_F(TransportTest, IdleConnectionTheServerDroppedIsReplacedTransparently) {
    for (auto security : bothSecurities) {
        LoopbackHTTPServer server(security);
        auto transport = makeTransport();
        // Closed right after answering, unannounced: the closed connection is not used again.
        server.enqueue(Reply::with(Action::raw, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"));
        EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/1")), "1");
        ASSERT_TRUE(server.waitForClosedConnections());
        server.enqueue(Reply::json(200, "2"));
        EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/2")), "2");
        // Closed on receiving the next request: it goes once more over a new connection.
        server.enqueue(Reply::with(Action::raw));
        server.enqueue(Reply::json(200, "3"));
        EXPECT_EQ(fetch(*transport, get(server.baseURL() + "/3")), "3");
        EXPECT_EQ(server.requests().size(), 4u);
        EXPECT_EQ(server.connectionsAccepted(), 3u);
    }
}

TEST_F(TransportTest, SilentServerIsCutOffAfterTheLimitOrWhenTheCallerCancels) {
    for (bool cancel : {false, true}) {
        for (auto security : bothSecurities) {
            LoopbackHTTPServer server(security);
            server.enqueue(Reply::with(Action::hang));
            auto transport = makeTransport();
            Pending pending(io, transport->send(get(server.baseURL() + "/slow")));
            ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 1; }));
            clock->advance(30s - 1ms);
            test::settle(io, 20ms);
            EXPECT_FALSE(pending.done());
            if (cancel) {
                pending.cancel();
                EXPECT_TRUE(isCancellation(pending.error()));
            } else {
                clock->advance(1ms);
                EXPECT_EQ(errorKind(pending), Kind::timedOut);
            }
            EXPECT_EQ(transport->idleConnections(), 0u);
            EXPECT_TRUE(server.waitForClosedConnections());
            clock->runReady();
            EXPECT_EQ(clock->sleepers(), 0u);
        }
    }
}

TEST_F(TransportTest, SlowButMovingUploadAndAnswerTakeAsLongAsTheyNeed) {
    for (auto security : bothSecurities) {
        LoopbackHTTPServer server(security);
        server.readSlowly(16 * 1024, 1ms);
        server.enqueue(Reply::with(Action::trickle, std::string(60, 't')));
        auto transport = makeTransport();
        Pending pending(io, transport->send(post(server.baseURL() + "/chunk", 1400 * 1000)));
        // A second of virtual time for each step in which bytes moved: far more than 30 s in all.
        std::size_t moved = 0;
        int seconds = 0;
        while (!pending.done() && seconds < 600) {
            test::settle(io, 2ms);
            if (server.bytesMoved() > moved) {
                moved = server.bytesMoved();
                clock->advance(1s);
                ++seconds;
            }
        }
        EXPECT_GT(seconds, 60);
        EXPECT_EQ(text(pending.get()), std::string(60, 't'));
        EXPECT_EQ(server.requests().at(0).body.size(), 1400u * 1000);
    }
}

TEST_F(TransportTest, EarlyRefusalOfABodyStillBeingSentIsTheAnswer) {
    for (int status : {401, 413}) {
        for (auto security : bothSecurities) {
            LoopbackHTTPServer server(security);
            auto refusal = Reply::json(status, R"({"error":"no"})");
            refusal.action = Action::early;
            server.enqueue(refusal);
            auto transport = makeTransport();
            auto upload = post(server.baseURL() + "/chunk", 8 * 1024 * 1024);
            auto result = Pending(io, transport->send(upload)).get();
            EXPECT_EQ(result.response.status, status);
            EXPECT_EQ(text(result), R"({"error":"no"})");
            EXPECT_EQ(transport->idleConnections(), 0u);
        }
    }
}

TEST_F(TransportTest, EachAnswerArrivesWholeOrFailsWithItsOwnError) {
    // Chunks of 1000 bytes; the last chunk ("0\r\n", the trailer fields and the empty line)
    // takes `last` bytes.
    const auto chunked = [](std::size_t size, std::size_t last) {
        auto reply = Reply::with(Action::chunked, std::string(size, 'c'));
        reply.trailer = "X-Pad: " + std::string(last - 14, 'p') + "\r\n";
        return reply;
    };
    std::string interimFlood;
    while (interimFlood.size() <= 1024) {
        interimFlood += "HTTP/1.1 100 Continue\r\n\r\n";
    }
    auto hugeHeader = Reply::json(200, "{}");
    hugeHeader.headers.emplace_back("X-Big", std::string(1100, 'h'));
    // Bodies pass through a read buffer smaller than they are.
    const std::pair<Reply, std::variant<std::string, Kind>> cases[] = {
        {Reply::json(200, std::string(2000, 'z')), std::string(2000, 'z')},
        {Reply::json(200, std::string(2001, 'z')), Kind::responseTooLarge},
        {chunked(2000, 40), std::string(2000, 'c')},
        {chunked(2001, 40), Kind::responseTooLarge},
        {chunked(0, 1024), std::string()},
        {chunked(0, 1025), Kind::responseTooLarge},
        {hugeHeader, Kind::responseTooLarge},
        // Interim answers, 100 to 199, come before the real one; a flood of them is too much.
        {Reply::with(Action::raw,
                     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                     "Link: </a>\r\n\r\nHTTP/1.1 199 Misc\r\n\r\n"
                     "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
         "ok"},
        {Reply::with(Action::raw, interimFlood + "HTTP/1.1 204 No Content\r\n\r\n"),
         Kind::responseTooLarge},
        // Ended by closing the connection, over TLS without close_notify.
        {Reply::with(Action::raw, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil close"),
         "until close"},
        {Reply::with(Action::raw), Kind::connectionLost},
        {Reply::with(Action::raw,
                     "HTTP/1.1 200 OK\r\nContent-Length: 800\r\n\r\n" + std::string(400, 'b')),
         Kind::connectionLost},
        {Reply::with(Action::raw, "SSH-2.0-OpenSSH_9.2\r\n\r\n"), Kind::badServerResponse},
    };
    for (const auto& [reply, expected] : cases) {
        for (auto security : bothSecurities) {
            SCOPED_TRACE(reply.body.substr(0, 30) + reply.trailer.substr(0, 10));
            LoopbackHTTPServer server(security);
            server.enqueue(reply);
            auto transport = makeTransport({.maxBodyBytes = 2000, .maxHeaderBytes = 1024});
            Pending pending(io, transport->send(get(server.baseURL() + "/")));
            if (const auto* body = std::get_if<std::string>(&expected)) {
                EXPECT_EQ(text(pending.get()), *body);
            } else {
                EXPECT_EQ(errorKind(pending), std::get<Kind>(expected));
            }
        }
    }
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
    // The headers the transport adds itself are checked the same way.
    transport = makeTransport({.userAgent = "a\r\nX-Injected: 1"});
    Pending pending(io, transport->send(get(server.baseURL() + "/")));
    EXPECT_EQ(errorKind(pending), Kind::invalidRequest);
    EXPECT_EQ(server.connectionsAccepted(), 0u);
}

}  // namespace
}  // namespace tessarin
