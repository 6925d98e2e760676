#include "core/net/web_socket_realtime_socket.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "core/async/task.hpp"
#include "support/realtime_harness.hpp"

namespace tessarin::test {
namespace {

struct SocketTest : RealtimeHarness {
    using RealtimeHarness::RealtimeHarness;

    std::shared_ptr<RealtimeSocket> open(std::string url) {
        return liveSockets()(RealtimeRequest{std::move(url), "Bearer k"});
    }

    // Receives one message in a task: its text, or "error" when receive threw.
    Task<std::string> receiveOne(const std::shared_ptr<RealtimeSocket>& socket) {
        return Task<std::string>::spawn(io.get_executor(), "test",
                                        [socket]() -> Awaitable<std::string> {
                                            try {
                                                co_return co_await socket->receive();
                                            } catch (const boost::system::system_error&) {
                                                co_return "error";
                                            }
                                        });
    }

    std::string received(const Task<std::string>& task) {
        EXPECT_TRUE(runUntil([&] { return task.done(); }));
        std::string value;
        Task<>::spawn(io.get_executor(), "test",
                      [&value, task]() -> Awaitable<void> { value = co_await task.result(); });
        clock->runReady();
        return value;
    }
};

TEST(WebSocketRealtimeSocket, RefusesToHoldMoreThanItsBoundOfUnwrittenMessages) {
    SocketTest test;
    auto socket = test.open(test.server.url());
    bool opened = false;
    socket->send("hello", [&](std::optional<std::string> error) { opened = !error; });
    ASSERT_TRUE(test.runUntil([&] { return opened; }));
    // Without the executor running nothing is written, as with a peer that stopped reading.
    std::vector<std::optional<std::string>> completions;
    const std::string mebibyte(1024 * 1024, 'a');
    for (int i = 0; i < 12; ++i) {
        socket->send(mebibyte,
                     [&](std::optional<std::string> error) { completions.push_back(error); });
    }
    ASSERT_TRUE(test.runUntil([&] { return completions.size() == 12; }));
    const auto refused = static_cast<std::size_t>(
        std::count_if(completions.begin(), completions.end(),
                      [](const auto& error) { return error.has_value(); }));
    EXPECT_GE(refused, 3u);
    EXPECT_LE(refused, 4u);
    auto& connection = test.server.lastConnection();
    ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == 1u + 12u - refused; }));
}

TEST(WebSocketRealtimeSocket, ARefusedUpgradeReportsItsStatusBeforeTheWaitingSendsFail) {
    SocketTest test;
    test.server.script.refuseStatus = 403;
    auto socket = test.open(test.server.url());
    std::vector<std::string> order;
    socket->send("config", [&](std::optional<std::string> error) {
        order.push_back(error ? "send failed" : "sent");
    });
    auto receiving =
        Task<>::spawn(test.io.get_executor(), "test", [&, socket]() -> Awaitable<void> {
            try {
                co_await socket->receive();
                order.push_back("received");
            } catch (const boost::system::system_error&) {
                order.push_back("receive failed with " +
                                std::to_string(socket->httpStatus().value_or(0)));
            }
        });
    ASSERT_TRUE(test.runUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"receive failed with 403", "send failed"}));
}

TEST(WebSocketRealtimeSocket, AnUnansweredUpgradeTimesOutOnTheClock) {
    SocketTest test;
    test.server.script.stallUpgrades = true;
    auto socket = test.open(test.server.url());
    auto receiving = test.receiveOne(socket);
    ASSERT_TRUE(test.runUntil([&] { return test.server.upgradeCount() == 1; }));
    test.advance(59900ms);
    EXPECT_FALSE(receiving.done());
    test.advance(200ms);
    EXPECT_EQ(test.received(receiving), "error");
    EXPECT_EQ(socket->httpStatus(), std::nullopt);
}

TEST(WebSocketRealtimeSocket, PlainConnectionsGoOnlyToLoopbackAddressesOfPlainHostNames) {
    struct Case {
        std::string origin;
        bool opens;
    };
    for (const Case& c : std::vector<Case>{
             {"ws://localhost", true},
             {"ws://127.0.0.1", true},
             {"ws://192.0.2.1", false},
             {"ws://0.0.0.0", false},  // reaches this computer, but is no loopback address
             {"ws://evil.example%00.localhost", false},
             {"ws://%6cocalhost", false},
             {"http://127.0.0.1", false},
             {"not a url", false},
         }) {
        SocketTest test;
        const std::string url = c.origin + ":" + std::to_string(test.server.port()) + "/v1";
        auto socket = test.open(url);
        auto receiving = test.receiveOne(socket);
        if (c.opens) {
            ASSERT_TRUE(test.runUntil([&] { return test.server.connectionCount() == 1; })) << url;
            EXPECT_FALSE(receiving.done()) << url;
        } else {
            EXPECT_EQ(test.received(receiving), "error") << url;
            EXPECT_EQ(test.server.upgradeCount(), 0u) << url;
        }
    }
}

TEST(WebSocketRealtimeSocket, ASilentPeerEndsTheConnectionWithinTheIdleLimit) {
    SocketTest test;
    auto socket = test.open(test.server.url());
    auto receiving = test.receiveOne(socket);
    ASSERT_TRUE(test.runUntil([&] { return test.server.connectionCount() == 1; }));
    // A live peer answers the pings, however long nothing else comes.
    for (int i = 0; i < 12; ++i) {
        test.advance(10s);
    }
    EXPECT_FALSE(receiving.done());
    // The last pong came just now.
    test.server.lastConnection().goSilent();
    test.advance(29900ms);
    EXPECT_FALSE(receiving.done());
    test.advance(200ms);
    EXPECT_EQ(test.received(receiving), "error");
    std::optional<std::string> sendError;
    socket->send("x", [&](std::optional<std::string> error) { sendError = error; });
    ASSERT_TRUE(test.runUntil([&] { return sendError.has_value(); }));
}

TEST(WebSocketRealtimeSocket, ClosingWhileOpeningEndsPendingCalls) {
    SocketTest test;
    auto socket = test.open(test.server.url());
    std::optional<std::string> sendError;
    socket->send("x",
                 [&](std::optional<std::string> error) { sendError = error.value_or("none"); });
    auto receiving = test.receiveOne(socket);
    socket->close();
    EXPECT_EQ(test.received(receiving), "error");
    ASSERT_TRUE(test.runUntil([&] { return sendError.has_value(); }));
    EXPECT_NE(sendError, "none");
}

}  // namespace
}  // namespace tessarin::test
