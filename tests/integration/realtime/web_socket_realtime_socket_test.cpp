#include "recording/realtime/web_socket_realtime_socket.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "core/async/task.hpp"
#include "integration/realtime/realtime_harness.hpp"

namespace tessarin::test {
namespace {

struct SocketTest : RealtimeHarness {
    using RealtimeHarness::RealtimeHarness;

    std::shared_ptr<RealtimeSocket> open(std::string url, double upgradeSeconds = 60) {
        return liveSockets()(RealtimeRequest{std::move(url), "Bearer k", seconds(upgradeSeconds)});
    }

    // Receives one message in a task; `outcome` is the text, or "error" when receive threw.
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
};

// Gets a finished task's value.
std::string valueOf(boost::asio::io_context& io, const Task<std::string>& task) {
    std::string value;
    Task<>::spawn(io.get_executor(), "test",
                  [&value, task]() -> Awaitable<void> { value = co_await task.result(); });
    io.restart();
    io.poll();
    return value;
}

TEST(WebSocketRealtimeSocket, WritesMessagesInOrderAndReadsTextAndBinary) {
    SocketTest test;
    auto socket = test.open(test.server.url());
    std::vector<std::optional<std::string>> completions;
    for (int i = 0; i < 50; ++i) {
        socket->send("message " + std::to_string(i),
                     [&](std::optional<std::string> error) { completions.push_back(error); });
    }
    ASSERT_TRUE(test.runUntil([&] { return completions.size() == 50; }));
    auto& connection = test.server.lastConnection();
    ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == 50; }));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(connection.messages[i], "message " + std::to_string(i));
        EXPECT_FALSE(completions[i].has_value());
    }
    EXPECT_EQ(socket->httpStatus(), 101);

    connection.sendText("text");
    connection.sendBinary("bin\xc3");
    auto first = test.receiveOne(socket);
    ASSERT_TRUE(test.runUntil([&] { return first.done(); }));
    EXPECT_EQ(valueOf(test.io, first), "text");
    auto second = test.receiveOne(socket);
    ASSERT_TRUE(test.runUntil([&] { return second.done(); }));
    EXPECT_EQ(valueOf(test.io, second), "bin\xef\xbf\xbd");

    socket->close();
    ASSERT_TRUE(test.runUntil([&] { return connection.ended; }));
    EXPECT_EQ(connection.closeCode, 1000);
    std::optional<std::string> afterClose;
    socket->send("late", [&](std::optional<std::string> error) { afterClose = error; });
    ASSERT_TRUE(test.runUntil([&] { return afterClose.has_value(); }));
}

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
    auto socket = test.open(test.server.url(), 60);
    auto receiving = test.receiveOne(socket);
    ASSERT_TRUE(test.runUntil([&] { return test.server.upgradeCount() == 1; }));
    test.advance(59.9);
    EXPECT_FALSE(receiving.done());
    test.advance(0.2);
    ASSERT_TRUE(test.runUntil([&] { return receiving.done(); }));
    EXPECT_EQ(valueOf(test.io, receiving), "error");
    EXPECT_EQ(socket->httpStatus(), std::nullopt);
}

TEST(WebSocketRealtimeSocket, RefusesPlainConnectionsBeyondThisComputerAndBadAddresses) {
    for (const std::string url : {"ws://192.0.2.1/v1/realtime", "ws://example.com/v1/realtime",
                                  "http://127.0.0.1/x", "not a url"}) {
        SocketTest test;
        auto socket = test.open(url);
        auto receiving = test.receiveOne(socket);
        ASSERT_TRUE(test.runUntil([&] { return receiving.done(); })) << url;
        EXPECT_EQ(valueOf(test.io, receiving), "error") << url;
    }
}

TEST(WebSocketRealtimeSocket, ClosingWhileOpeningEndsPendingCalls) {
    SocketTest test;
    auto socket = test.open(test.server.url());
    std::optional<std::string> sendError;
    socket->send("x",
                 [&](std::optional<std::string> error) { sendError = error.value_or("none"); });
    auto receiving = test.receiveOne(socket);
    socket->close();
    ASSERT_TRUE(test.runUntil([&] { return receiving.done() && sendError.has_value(); }));
    EXPECT_EQ(valueOf(test.io, receiving), "error");
    EXPECT_NE(sendError, "none");
}

}  // namespace
}  // namespace tessarin::test
