#include "core/net/web_socket_realtime_socket.hpp"

#include <gtest/gtest.h>

#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/realtime_harness.hpp"

namespace tessarin::test {
namespace {

using Reply = LoopbackHTTPServer::Reply;
using Completions = std::vector<std::optional<std::string>>;

struct SocketTest : RealtimeHarness {
    Completions completions;

    std::shared_ptr<RealtimeSocket> open(std::string url, bool trustTestAuthority = true) {
        return liveSockets(trustTestAuthority)(RealtimeRequest{std::move(url), "Bearer k"});
    }
    // A socket that is open at both ends: its first message has arrived.
    std::shared_ptr<RealtimeSocket> opened() {
        auto socket = open(server.url());
        socket->send("hello", nullptr);
        EXPECT_TRUE(runUntil([&] {
            return server.connectionCount() == 1 && server.lastConnection().messages.size() == 1;
        }));
        return socket;
    }
    Pending<std::string> receiving(const std::shared_ptr<RealtimeSocket>& socket) {
        return Pending<std::string>(io, socket->receive());
    }
    // Sends, recording the completion's error (or nothing) in `completions` once it comes.
    void send(RealtimeSocket& socket, std::string text) {
        socket.send(std::move(text),
                    [this, i = completions.size()](auto error) { completions[i] = error; });
        completions.push_back("(pending)");
    }
    bool completed() {
        return runUntil(
            [&] { return std::count(completions.begin(), completions.end(), "(pending)") == 0; });
    }
};

TEST(WebSocketRealtimeSocket, PlainGoesOnlyToLoopbackAddressesAndSecureOnlyToTrustedPeers) {
    // The address before its port, whether the test authority is trusted, whether it is reached.
    const std::tuple<std::string, bool, bool> cases[] = {
        {"ws://localhost", true, true},
        {"wss://localhost", true, true},
        {"wss://localhost", false, false},  // the system's authorities only
        {"ws://0.0.0.0", true, false},      // reaches this computer, but is no loopback address
        {"ws://evil.example%00.localhost", true, false},
        {"http://127.0.0.1", true, false},
        {"not a url", true, false},
    };
    for (const auto& [origin, trustTestAuthority, reaches] : cases) {
        SocketTest test;
        // Refuses every upgrade, so that the status shows which arrived.
        LoopbackHTTPServer server(origin.starts_with("wss") ? LoopbackSecurity::tls
                                                            : LoopbackSecurity::plain);
        server.setHandler([](const auto&) { return Reply::json(403, "{}"); });
        const std::string url = origin + ":" + std::to_string(server.port()) + "/v1?x=1";
        SCOPED_TRACE(url);
        auto socket = test.open(url, trustTestAuthority);
        test.send(*socket, "config");
        auto receiving = test.receiving(socket);
        ASSERT_TRUE(test.runUntil([&] { return receiving.done(); }));
        EXPECT_EQ(test.completions[0], "(pending)") << "the refusal is reported first";
        EXPECT_TRUE(receiving.error());
        EXPECT_EQ(socket->httpStatus(), reaches ? std::optional(403) : std::nullopt);
        ASSERT_TRUE(test.completed());
        EXPECT_TRUE(test.completions[0]);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), reaches ? 1u : 0u);
        if (reaches) {
            EXPECT_EQ(requests[0].header("Authorization"), "Bearer k");
            EXPECT_EQ(requests[0].target, "/v1?x=1");
        }
    }
}

// Messages wait for the upgrade, up to the outbox bound; the upgrade itself gets 60 s.
TEST(WebSocketRealtimeSocket, AnUnansweredUpgradeHoldsBoundedMessagesAndTimesOut) {
    SocketTest test;
    LoopbackHTTPServer server;
    server.enqueue(Reply::with(Reply::Action::hang));
    auto socket = test.open("ws://127.0.0.1:" + std::to_string(server.port()) + "/");
    ASSERT_TRUE(test.runUntil([&] { return server.requests().size() == 1; }));
    test.send(*socket, std::string(WebSocketRealtimeSocket::maxOutboxBytes - 1, 'a'));
    test.send(*socket, "b");  // exactly at the bound
    test.send(*socket, "c");
    ASSERT_TRUE(test.runUntil([&] { return test.completions[2] != "(pending)"; }));
    EXPECT_EQ(test.completions,
              (Completions{"(pending)", "(pending)", "The connection is not keeping up"}));
    auto receiving = test.receiving(socket);
    test.clock->advance(60s - 1ms);
    settle(test.io, 20ms);
    EXPECT_FALSE(receiving.done());
    test.clock->advance(1ms);
    EXPECT_EQ(failure<boost::system::system_error>(receiving)->code(),
              boost::asio::error::timed_out);
    ASSERT_TRUE(test.completed());
    EXPECT_TRUE(test.completions[0] && test.completions[1]);
    EXPECT_TRUE(server.waitForClosedConnections());
    test.clock->runReady();
    EXPECT_EQ(test.clock->sleepers(), 0u);
}

// However the connection ends, a pending receive fails, and so do the messages not yet written
// and every send after it. Closing an open socket sends the normal-closure code.
TEST(WebSocketRealtimeSocket, EveryEndOfTheConnectionFailsPendingAndLaterCalls) {
    enum class End { peerCloses, peerFallsSilent, closedWhileOpening, closed };
    for (const End end :
         {End::peerCloses, End::peerFallsSilent, End::closedWhileOpening, End::closed}) {
        SocketTest test;
        auto socket = end == End::closedWhileOpening ? test.open(test.server.url()) : test.opened();
        auto receiving = test.receiving(socket);
        if (end == End::peerFallsSilent) {
            test.advance(120s);  // a live peer answers the pings, however long nothing else comes
            EXPECT_FALSE(receiving.done());
            test.server.lastConnection().goSilent();  // the last pong came just now
            test.advance(30s - 1ms);
            EXPECT_FALSE(receiving.done());
            test.advance(1ms);
        } else if (end == End::peerCloses) {
            test.server.lastConnection().closeNormally();
        } else {
            test.send(*socket, "unsent");
            socket->close();
        }
        EXPECT_TRUE(receiving.error());
        test.send(*socket, "late");
        ASSERT_TRUE(test.completed());
        EXPECT_TRUE(std::all_of(test.completions.begin(), test.completions.end(),
                                [](const auto& error) { return error.has_value(); }));
        if (end == End::closed) {
            ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
            EXPECT_EQ(test.server.lastConnection().closeCode, 1000);
            EXPECT_EQ(test.server.lastConnection().messages.size(), 1u);
        }
    }
}

}  // namespace
}  // namespace tessarin::test
