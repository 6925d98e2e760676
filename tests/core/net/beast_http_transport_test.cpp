#include "core/net/beast_http_transport.hpp"

#include <tuple>
#include <variant>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/http/http_transport_error.hpp"
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

    static HTTPRequest request(const std::string& url, std::size_t bodyBytes = 0) {
        HTTPRequest request;
        request.url = *URL::parse(url);
        if (bodyBytes > 0) {
            request.method = "POST";
            request.body = std::vector<std::uint8_t>(bodyBytes, 'w');
        }
        return request;
    }

    static Reply raw(std::string bytes) { return Reply::with(Action::raw, std::move(bytes)); }

    static std::string text(const HTTPTransport::Result& result) {
        return {result.body.begin(), result.body.end()};
    }

    // The body of a request that must succeed.
    std::string fetch(HTTPTransport& transport, const std::string& url) {
        return text(Pending(io, transport.send(request(url))).get());
    }

    static std::optional<Kind> errorKind(Pending& pending) {
        auto error = test::failure<HTTPTransportError>(pending);
        return error ? std::optional(error->kind()) : std::nullopt;
    }
};

// One connection after another, over plain HTTP and TLS.
TEST_F(TransportTest, SendsRequestsByteForByteAndReturnsEachAnswerAsIs) {
    for (auto security : bothSecurities) {
        LoopbackHTTPServer server(security);
        server.enqueue(Reply::json(201, R"({"ok":true})"));
        auto transport = makeTransport({.userAgent = "agent/1.0"});
        HTTPRequest post = request(server.baseURL() + "/api/v1/things?x=1", 2);
        post.headers = {{"Authorization", "Bearer t0k"}, {"Content-Type", "application/json"}};
        auto result = Pending(io, transport->send(post)).get();
        EXPECT_EQ(result.response.status, 201);
        EXPECT_EQ(result.response.header("content-type"), "application/json");
        EXPECT_EQ(result.response.url, post.url);
        EXPECT_EQ(text(result), R"({"ok":true})");
        // Without a body no Content-Length or Transfer-Encoding is sent. The server closes the
        // connection right after answering, unannounced: it is not used again.
        server.enqueue(raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]"));
        EXPECT_EQ(fetch(*transport, server.baseURL() + "/x"), "[]");
        const std::string host = server.baseURL().substr(server.baseURL().find("//") + 2);
        const std::string head = "HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: agent/1.0\r\n";
        EXPECT_EQ(server.requests().at(0).raw, "POST /api/v1/things?x=1 " + head +
                                                   "Authorization: Bearer t0k\r\n"
                                                   "Content-Type: application/json\r\n"
                                                   "Content-Length: 2\r\n\r\nww");
        EXPECT_EQ(server.requests().at(1).raw, "GET /x " + head + "\r\n");
        ASSERT_TRUE(server.waitForClosedConnections());
        server.enqueue(Reply::json(200, "2"));
        EXPECT_EQ(fetch(*transport, server.baseURL() + "/2"), "2");
        // Closed on receiving the next request: it goes once more over a new connection.
        server.enqueue(raw(""));
        server.enqueue(Reply::json(200, "3"));
        EXPECT_EQ(fetch(*transport, server.baseURL() + "/3"), "3");
        EXPECT_EQ(server.connectionsAccepted(), 3u);
        // A silent server is cut off after 30 s, or when the caller cancels.
        for (const bool cancel : {false, true}) {
            server.enqueue(Reply::with(Action::hang));
            const std::size_t sent = server.requests().size() + 1;
            Pending pending(io, transport->send(request(server.baseURL() + "/slow")));
            ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == sent; }));
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
            EXPECT_TRUE(server.waitForClosedConnections());
        }
        // A refusal while the body is still going out is the answer; that connection is closed.
        auto refusal = Reply::json(413, R"({"error":"no"})");
        refusal.action = Action::early;
        server.enqueue(refusal);
        result = Pending(io, transport->send(request(server.baseURL() + "/", 8 << 20))).get();
        EXPECT_EQ(result.response.status, 413);
        EXPECT_EQ(text(result), R"({"error":"no"})");
        EXPECT_EQ(transport->idleConnections(), 0u);
        // The time limits of ended requests leave nothing behind.
        clock->runReady();
        EXPECT_EQ(clock->sleepers(), 0u);
    }
}

TEST_F(TransportTest, OnlyTrustedServersAndLoopbackAddressesGetARequest) {
    LoopbackHTTPServer plain, trusted(Security::tls), otherName(Security::otherNameTLS),
        untrusted(Security::untrustedTLS), onAnotherAddress(Security::tls, "127.0.0.2"),
        top(Security::plain, "127.255.255.254"), v6(Security::plain, "::1");
    const auto port = [](const LoopbackHTTPServer& server) {
        return ":" + std::to_string(server.port());
    };
    const std::pair<std::string, std::optional<Kind>> cases[] = {
        {trusted.baseURL(), std::nullopt},  // nothing: the server answers
        {untrusted.baseURL(), Kind::secureConnectionFailed},
        {otherName.baseURL(), Kind::secureConnectionFailed},
        // The certificate names 127.0.0.1 but not 127.0.0.2.
        {"https://127.0.0.2" + port(onAnotherAddress), Kind::secureConnectionFailed},
        {"http://127.0.0.1" + port(LoopbackHTTPServer()), Kind::cannotConnect},
        {"ftp://127.0.0.1/file", Kind::badURL},
        // Plain HTTP reaches every loopback address, by name or number.
        {"http://localhost" + port(plain), std::nullopt},
        {"http://127.255.255.254" + port(top), std::nullopt},
        {"http://[::1]" + port(v6), std::nullopt},
        // An encoded name is not decoded into another name or into header lines.
        {"http://localhost%0d%0aX-Injected%3a1" + port(plain), Kind::badURL},
        // These addresses lead to this computer but are not loopback addresses.
        {"http://0.0.0.0" + port(plain), Kind::badURL},
        {"http://[::ffff:127.0.0.1]" + port(plain), Kind::badURL},
    };
    for (const auto& [url, expected] : cases) {
        SCOPED_TRACE(url);
        auto transport = makeTransport();
        Pending pending(io, transport->send(request(url + "/")));
        EXPECT_EQ(errorKind(pending), expected);
    }
    EXPECT_EQ(plain.requests().size(), 1u);
}

TEST_F(TransportTest, ConnectionsAreKeptForReuseUntilClosedExpiredOrTooMany) {
    LoopbackHTTPServer server(Security::tls);
    server.setHandler([](const auto& request) { return Reply::json(200, request.target); });
    auto transport = makeTransport();
    // Concurrent requests each get a connection and their own answer; four are kept afterwards.
    std::vector<std::unique_ptr<Pending>> pending;
    for (int i = 0; i < 5; ++i) {
        const auto url = server.baseURL() + "/r" + std::to_string(i);
        pending.push_back(std::make_unique<Pending>(io, transport->send(request(url))));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(text(pending[i]->get()), "/r" + std::to_string(i));
    }
    EXPECT_EQ(transport->idleConnections(), 4u);
    server.enqueue(raw("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}"));
    EXPECT_EQ(fetch(*transport, server.baseURL() + "/b"), "{}");
    EXPECT_EQ(transport->idleConnections(), 3u);
    EXPECT_EQ(server.connectionsAccepted(), 5u);
    // An idle connection is reused for 30 s, not longer.
    clock->advance(30s);
    EXPECT_EQ(fetch(*transport, server.baseURL() + "/c"), "/c");
    EXPECT_EQ(server.connectionsAccepted(), 5u);
    clock->advance(30001ms);
    EXPECT_EQ(fetch(*transport, server.baseURL() + "/d"), "/d");
    EXPECT_EQ(server.connectionsAccepted(), 6u);
    EXPECT_EQ(transport->idleConnections(), 1u);
}

TEST_F(TransportTest, SlowButMovingUploadAndAnswerTakeAsLongAsTheyNeed) {
    const std::size_t size = 1400 * 1000;
    for (auto security : bothSecurities) {
        LoopbackHTTPServer server(security);
        server.pace(8 * 1024, 1ms);
        server.enqueue(Reply::json(200, std::string(size, 't')));
        auto transport = makeTransport();
        Pending pending(io, transport->send(request(server.baseURL() + "/chunk", size)));
        // A second of virtual time for each step in which bytes moved: far more than 30 s for
        // the upload and again for the answer.
        int seconds = 0;
        for (std::size_t moved = 0; !pending.done() && seconds < 1000;) {
            test::settle(io, 2ms);
            if (server.bytesMoved() > moved) {
                moved = server.bytesMoved();
                clock->advance(1s);
                ++seconds;
            }
        }
        EXPECT_GT(seconds, 30);
        EXPECT_EQ(pending.get().body.size(), size);
        EXPECT_EQ(server.requests().at(0).body.size(), size);
    }
}

TEST_F(TransportTest, EachAnswerArrivesWholeOrFailsWithItsOwnError) {
    // A header line of `size` bytes.
    const auto pad = [](std::size_t size) {
        return "X-Pad: " + std::string(size - 9, 'p') + "\r\n";
    };
    // A chunk of `size` bytes (`hex`; none without), then the last chunk ("0\r\n", a trailer and
    // the empty line) of `last` bytes.
    const auto chunked = [&](std::string hex, std::size_t size, std::size_t last) {
        const auto chunk = hex.empty() ? "" : hex + "\r\n" + std::string(size, 'c') + "\r\n";
        return raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk + "0\r\n" +
                   pad(last - 5) + "\r\n");
    };
    // A response whose header fields (all the head after the status line) take `size` bytes.
    const auto head = [&](std::size_t size) {
        return raw("HTTP/1.1 200 OK\r\n" + pad(size - 21) + "Content-Length: 2\r\n\r\nok");
    };
    // Bodies pass through a read buffer smaller than they are.
    const std::pair<Reply, std::variant<std::string, Kind>> cases[] = {
        {Reply::json(200, std::string(2000, 'z')), std::string(2000, 'z')},
        {Reply::json(200, std::string(2001, 'z')), Kind::responseTooLarge},
        {chunked("7d0", 2000, 40), std::string(2000, 'c')},
        {chunked("", 0, 1024), ""},
        {chunked("", 0, 1025), Kind::responseTooLarge},
        {head(1024), "ok"},
        {head(1025), Kind::responseTooLarge},
        // Interim answers, 100 to 199, come before the real one, all in the room of one head.
        {raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
             "HTTP/1.1 199 Misc\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
         "ok"},
        {raw("HTTP/1.1 100 Continue\r\n" + pad(600) + "\r\nHTTP/1.1 204 No Content\r\n" + pad(600) +
             "\r\n"),
         Kind::responseTooLarge},
        // Ended by closing the connection, over TLS without close_notify.
        {raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil close"), "until close"},
        {raw(""), Kind::connectionLost},
        {raw("HTTP/1.1 200 OK\r\nContent-Length: 800\r\n\r\n" + std::string(400, 'b')),
         Kind::connectionLost},
        {raw("SSH-2.0-OpenSSH_9.2\r\n\r\n"), Kind::badServerResponse},
    };
    for (const auto& [reply, expected] : cases) {
        for (auto security : bothSecurities) {
            SCOPED_TRACE(reply.body.substr(0, 30) + " / " + std::to_string(reply.body.size()));
            LoopbackHTTPServer server(security);
            server.enqueue(reply);
            auto transport = makeTransport({.maxBodyBytes = 2000, .maxHeaderBytes = 1024});
            Pending pending(io, transport->send(request(server.baseURL() + "/")));
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
    // The User-Agent (a header the transport adds itself), the method and a header.
    const std::tuple<std::string, std::string, std::pair<std::string, std::string>> cases[] = {
        {"a\r\nX-Injected: 1", "GET", {"Accept", "x"}},
        {"", "GET", {"Authorization", "Bearer abc\r\nX-Injected: 1"}},
        {"", "GET", {"Authorization", "Bearer abc\n"}},
        {"", "GET", {"Authorization", std::string("Bearer a\0b", 10)}},
        {"", "GET", {"Bad Name", "x"}},
        {"", "GET", {"", "x"}},
        {"", "GET /x HTTP/1.1\r\n", {"Accept", "x"}},
    };
    for (const auto& [agent, method, header] : cases) {
        SCOPED_TRACE(agent + method + header.second);
        HTTPRequest request = TransportTest::request(server.baseURL() + "/");
        request.method = method;
        request.headers = {header};
        auto transport = makeTransport({.userAgent = agent});
        Pending pending(io, transport->send(request));
        EXPECT_EQ(errorKind(pending), Kind::invalidRequest);
    }
    EXPECT_EQ(server.connectionsAccepted(), 0u);
}

}  // namespace
}  // namespace tessarin
