#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/auth_error.hpp"
#include "core/async/manual_clock.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/pending.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::Pending;

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
    void update(const std::string& token) {
        Pending<void> pending(io, auth->update(token));
        pending.get();
    }
    void close() {
        Pending<void> pending(io, auth->close());
        pending.get();
    }
    static bool signedOut(Pending<std::string>& pending) {
        auto error = test::failure<AuthError>(pending);
        return error && error->kind() == AuthError::Kind::signedOut &&
               std::string(error->what()) == "You're signed out. Sign in again.";
    }
};

TEST_F(HelperAuthTest, ThreeRefusalsAskOnceAndOneUpdateReleasesAllInOrder) {
    auto a = reject("t1"), b = reject("t1"), c = reject("t1");
    EXPECT_EQ(tokenNeeded, 1);
    EXPECT_EQ(auth->parkedRequests(), 3u);
    EXPECT_FALSE(a->done());
    update("t2");
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 0u);  // the time limit ends with the cycle it limited
    EXPECT_EQ(a->get(), "t2");
    EXPECT_EQ(b->get(), "t2");
    EXPECT_EQ(c->get(), "t2");
    EXPECT_EQ(auth->parkedRequests(), 0u);
    // A refusal of the older token gets the current one at once, without asking.
    EXPECT_EQ(reject("t1")->get(), "t2");
    EXPECT_EQ(Pending<std::string>(io, auth->accessToken()).get(), "t2");
    // The finished cycle's timer resumes nobody when its time would have come.
    clock->advance(120s);
    EXPECT_EQ(tokenNeeded, 1);
}

TEST_F(HelperAuthTest, NoUpdateWithinTheTimeOutSignsOutAndALaterRefusalAsksAgain) {
    auto a = reject("t1");
    clock->advance(30s);
    auto b = reject("t1");
    EXPECT_EQ(tokenNeeded, 1);
    clock->advance(29s);
    EXPECT_FALSE(a->done());
    clock->advance(1s);
    EXPECT_TRUE(signedOut(*a));
    EXPECT_TRUE(signedOut(*b));

    auto c = reject("t1");
    EXPECT_EQ(tokenNeeded, 2);
    clock->advance(59s);
    EXPECT_FALSE(c->done());
    update("t3");
    EXPECT_EQ(c->get(), "t3");
}

TEST_F(HelperAuthTest, LateTimerOfAnEarlierCycleDoesNotEndTheCurrentOne) {
    auto a = reject("t1");
    update("t2");
    EXPECT_EQ(a->get(), "t2");
    clock->advance(10s);
    auto b = reject("t2");
    EXPECT_EQ(tokenNeeded, 2);
    clock->advance(55s);  // past the first cycle's deadline
    EXPECT_FALSE(b->done());
    clock->advance(5s);
    EXPECT_TRUE(signedOut(*b));
}

TEST_F(HelperAuthTest, CloseFailsParkedRequestsAndEveryLaterRefusal) {
    auto a = reject("t1"), b = reject("t1");
    close();
    clock->runReady();
    EXPECT_EQ(clock->sleepers(), 0u);
    EXPECT_TRUE(signedOut(*a));
    EXPECT_TRUE(signedOut(*b));
    auto c = reject("t1");
    EXPECT_TRUE(signedOut(*c));
    EXPECT_EQ(tokenNeeded, 1);
    update("t9");
    Pending<std::string> token(io, auth->accessToken());
    EXPECT_EQ(token.get(), "t9");
    EXPECT_TRUE(auth->closed());
}

TEST_F(HelperAuthTest, TimerDoesNotKeepTheBrokerAlive) {
    std::weak_ptr<HelperAuth> weak = auth;
    {
        Pending<std::string> parked(io, auth->tokenRejected("t1"));
        clock->runReady();
        close();
        parked.error();
    }
    auth.reset();
    clock->runReady();
    EXPECT_TRUE(weak.expired());
    clock->advance(61s);
}

TEST(AccessTokenAuthProvider, GivesItsTokenAndCannotRenew) {
    boost::asio::io_context io;
    AccessTokenAuthProvider provider(*URL::parse("https://n.example"), "fixed");
    EXPECT_EQ(Pending<std::string>(io, provider.accessToken()).get(), "fixed");
    Pending<std::string> renewal(io, provider.tokenRejected("fixed"));
    EXPECT_EQ(test::failure<AuthError>(renewal).value().kind(), AuthError::Kind::signedOut);
}

}  // namespace
}  // namespace tessarin
