#include "recording/channels/channel_callbacks.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

namespace tessarin::test {
namespace {

TEST(ChannelCallbacks, PostedCallsLandLaterInOrderAndNotAtAllOnceSilenced) {
    boost::asio::io_context io;
    std::vector<std::string> calls;
    ChannelCallbacks direct;
    direct.segment = [&](Speaker, std::int64_t t0, std::int64_t, std::string text) {
        calls.push_back(text + "@" + std::to_string(t0));
    };
    direct.problem = [&](Speaker, std::optional<std::string> message) {
        calls.push_back(message.value_or("cleared"));
    };
    auto silenced = std::make_shared<bool>(false);
    const ChannelCallbacks posted = direct.postedTo(io.get_executor(), silenced);
    EXPECT_FALSE(posted.delta) << "an absent callback stays absent";
    posted.segment(Speaker::me, 10, 20, "hello");
    posted.problem(Speaker::me, std::nullopt);
    EXPECT_TRUE(calls.empty()) << "never inside the call that reported";
    io.poll();
    EXPECT_EQ(calls, (std::vector<std::string>{"hello@10", "cleared"}));

    posted.problem(Speaker::me, "down");
    *silenced = true;
    io.restart();
    io.poll();
    EXPECT_EQ(calls.size(), 2u) << "a call queued before the silence is dropped";
}

}  // namespace
}  // namespace tessarin::test
