#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/auth_error.hpp"
#include "core/async/manual_clock.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/pending.hpp"

using namespace std::chrono_literals;

namespace tessarin::test {
namespace {

struct HelperAuthTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    int tokenNeeded = 0;
    std::shared_ptr<HelperAuth> auth =
        HelperAuth::create(io.get_executor(), clock, *URL::parse("https://n.example"), "t1", 60s,
                           [this] { ++tokenNeeded; });

    std::unique_ptr<Pending<std::string>> reject(const std::string& token) {
        auto pending = std::make_unique<Pending<std::string>>(io, auth->tokenRejected(token));
        clock->runReady();
        return pending;
    }
    void update(const std::string& token) { Pending<void>(io, auth->update(token)).get(); }
    static bool signedOut(Pending<std::string>& pending) {
        auto error = failure<AuthError>(pending);
        return error && error->kind() == AuthError::Kind::signedOut &&
               std::string(error->what()) == "You're signed out. Sign in again.";
    }
    // Still waiting a second before `wait` has passed, signed out when it has.
    void expectSignedOutAfter(Pending<std::string>& pending, Clock::Duration wait) {
        clock->advance(wait - 1s);
        EXPECT_FALSE(pending.done());
        clock->advance(1s);
        EXPECT_TRUE(signedOut(pending));
    }
};

// The time limit runs from the first refusal of a cycle; one update releases every parked request
// and leaves no limit running into the next cycle.
TEST_F(HelperAuthTest, RefusalsOfOneCycleAskOnceAndShareItsTimeLimitUntilAnUpdateReleasesThem) {
    auto a = reject("t1");
    clock->advance(30s);
    auto b = reject("t1");
    EXPECT_EQ(tokenNeeded, 1);
    expectSignedOutAfter(*a, 30s);
    EXPECT_TRUE(signedOut(*b));
    auto c = reject("t1"), d = reject("t1");
    EXPECT_EQ(tokenNeeded, 2);
    EXPECT_EQ(auth->parkedRequests(), 2u);
    update("t2");
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 0u);
    EXPECT_EQ(c->get() + d->get(), "t2t2");
    EXPECT_EQ(auth->parkedRequests(), 0u);
    // A refusal of the older token gets the current one at once, without asking.
    EXPECT_EQ(reject("t1")->get(), "t2");
    EXPECT_EQ(Pending<std::string>(io, auth->accessToken()).get(), "t2");
    clock->advance(10s);
    auto e = reject("t2");
    EXPECT_EQ(tokenNeeded, 3);
    expectSignedOutAfter(*e, 60s);
}

TEST_F(HelperAuthTest, CloseFailsParkedAndLaterRefusalsAndLeavesNothingRunning) {
    std::weak_ptr<HelperAuth> weak = auth;
    auto a = reject("t1"), b = reject("t1");
    Pending<void>(io, auth->close()).get();
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 0u);
    EXPECT_TRUE(signedOut(*a) && signedOut(*b) && signedOut(*reject("t1")));
    EXPECT_EQ(tokenNeeded, 1);
    update("t9");
    EXPECT_EQ(Pending<std::string>(io, auth->accessToken()).get(), "t9");
    EXPECT_TRUE(auth->closed());
    auth.reset();
    clock->runReady();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace tessarin::test
