#include "core/net/web_socket_realtime_socket.hpp"

#include <gtest/gtest.h>

#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/realtime_harness.hpp"

namespace tessarin::test {
namespace {

using HTTPSecurity = LoopbackHTTPServer::Security;
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
    struct Case {
        std::string origin;
        bool secure = false;
        bool trustTestAuthority = true;
        bool reaches = false;
    };
    for (const Case& c : std::vector<Case>{
             {"ws://localhost", false, true, true},
             {"ws://127.0.0.1", false, true, true},
             {"wss://localhost", true, true, true},
             {"wss://localhost", true, false},  // the system's authorities only
             {"ws://0.0.0.0"},                  // reaches this computer, but is no loopback address
             {"ws://evil.example%00.localhost"},
             {"http://127.0.0.1"},
             {"not a url"},
         }) {
        SocketTest test;
        // Refuses every upgrade, so that the status shows which arrived.
        LoopbackHTTPServer server(c.secure ? HTTPSecurity::tls : HTTPSecurity::plain);
        server.setHandler([](const auto&) { return Reply::json(403, "{}"); });
        const std::string url = c.origin + ":" + std::to_string(server.port()) + "/v1?x=1";
        auto socket = test.open(url, c.trustTestAuthority);
        test.send(*socket, "config");
        auto receiving = test.receiving(socket);
        ASSERT_TRUE(test.runUntil([&] { return receiving.done(); })) << url;
        EXPECT_EQ(test.completions[0], "(pending)") << "the refusal is reported first";
        EXPECT_TRUE(receiving.error());
        EXPECT_EQ(socket->httpStatus(), c.reaches ? std::optional(403) : std::nullopt) << url;
        ASSERT_TRUE(test.completed());
        EXPECT_TRUE(test.completions[0]);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), c.reaches ? 1u : 0u) << url;
        if (c.reaches) {
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

TEST(WebSocketRealtimeSocket, APeerThatEndsTheConnectionOrFallsSilentFailsReceivingAndSending) {
    enum class End { drop, closeFrame, silence };
    for (const End end : {End::drop, End::closeFrame, End::silence}) {
        SocketTest test;
        auto socket = test.opened();
        auto receiving = test.receiving(socket);
        auto& peer = test.server.lastConnection();
        if (end == End::silence) {
            test.advance(120s);  // a live peer answers the pings, however long nothing else comes
            EXPECT_FALSE(receiving.done());
            peer.goSilent();  // the last pong came just now
            test.advance(30s - 1ms);
            EXPECT_FALSE(receiving.done());
            test.advance(1ms);
        } else {
            end == End::drop ? peer.drop() : peer.closeNormally();
        }
        EXPECT_TRUE(receiving.error());
        test.send(*socket, "late");
        ASSERT_TRUE(test.completed());
        EXPECT_TRUE(test.completions[0]);
    }
}

TEST(WebSocketRealtimeSocket, ClosingEndsPendingCallsAndSendsTheNormalClosureCode) {
    for (const bool whileOpening : {true, false}) {
        SocketTest test;
        auto socket = whileOpening ? test.open(test.server.url()) : test.opened();
        test.send(*socket, "x");
        auto receiving = test.receiving(socket);
        socket->close();
        EXPECT_TRUE(receiving.error());
        ASSERT_TRUE(test.completed());
        EXPECT_TRUE(test.completions[0]);
        if (!whileOpening) {
            ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
            EXPECT_EQ(test.server.lastConnection().closeCode, 1000);
            EXPECT_EQ(test.server.lastConnection().messages.size(), 1u);
        }
    }
}

}  // namespace
}  // namespace tessarin::test
