#include "recording/realtime/transcription_channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "core/async/one_shot.hpp"
#include "recording/realtime/realtime_endpoint.hpp"
#include "support/audio_signals.hpp"
#include "support/pending.hpp"
#include "support/realtime_harness.hpp"
#include "support/scripted_capture.hpp"

namespace tessarin::test {
namespace {

using Segment = std::tuple<std::int64_t, std::int64_t, std::string>;
using CatchUp = std::pair<std::vector<std::uint8_t>, std::int64_t>;
using Problems = std::vector<std::optional<std::string>>;

std::vector<std::uint8_t> speech(std::int64_t ms, std::uint32_t seed = 1) {
    return bytesOf(speechSamples(ms * 24, seed));
}
std::vector<std::uint8_t> quiet(std::int64_t ms) {
    return bytesOf(quietSamples(ms * 24));
}

struct ChannelTest : RealtimeHarness {
    ChannelTest() { server.script.acknowledgeCommits = true; }
    // Reports still posted when the test ends land while the vectors below are alive.
    ~ChannelTest() { release(std::move(made)); }

    Clock::Duration tokenLifetime = 600s;
    std::optional<std::string> fetchFailure;   // while set, token fetches fail with it
    std::shared_ptr<OneShot<>> nextFetchGate;  // when set, the next fetch waits for it
    std::vector<Clock::TimePoint> fetchTimes;

    std::vector<Segment> segments;
    Problems problems;
    std::vector<std::string> backlogs;
    std::vector<CatchUp> catchUps;
    std::vector<std::uint8_t> fed;  // everything fed, in order

    // The wall clock moves with the manual clock.
    std::chrono::system_clock::time_point wallNow() const {
        return std::chrono::system_clock::time_point(clock->now().time_since_epoch());
    }

    std::shared_ptr<TranscriptionChannel> makeChannel() {
        ChannelCallbacks callbacks;
        callbacks.segment = [this](Speaker, std::int64_t t0, std::int64_t t1, std::string text) {
            segments.emplace_back(t0, t1, std::move(text));
        };
        callbacks.problem = [this](Speaker, auto message) { problems.push_back(message); };
        callbacks.backlog = [this](Speaker, std::string message) { backlogs.push_back(message); };
        callbacks.catchUp = [this](Speaker, std::vector<std::uint8_t> pcm, std::int64_t startMs) {
            catchUps.emplace_back(std::move(pcm), startMs);
        };
        auto fetch = [this]() -> Awaitable<TranscriptionToken> {
            fetchTimes.push_back(clock->now());
            if (auto gate = std::exchange(nextFetchGate, nullptr)) {
                co_await gate->wait();
            }
            if (fetchFailure) {
                throw std::runtime_error(*fetchFailure);
            }
            co_return TranscriptionToken{"ek_" + std::to_string(fetchTimes.size()),
                                         wallNow() + tokenLifetime, std::nullopt, server.url()};
        };
        TranscriptionChannel::Dependencies dependencies{
            io.get_executor(), clock, [this] { return wallNow(); }, liveSockets()};
        return keep(TranscriptionChannel::create(std::move(dependencies), Speaker::them, "en",
                                                 fetch, callbacks, 3s));
    }

    // A channel whose first session is confirmed, fed `early` before its start.
    std::shared_ptr<TranscriptionChannel> startedChannel(
        const std::vector<std::uint8_t>& early = {}) {
        auto channel = makeChannel();
        feed(channel, early);
        fed.clear();
        Pending<void>(io, channel->start()).get();
        EXPECT_TRUE(connected(1));
        EXPECT_TRUE(runUntil([&] { return !problems.empty(); }));
        return channel;
    }

    // Feeds audio in 100 ms pieces, as the capture path delivers a backlog: all of them before
    // the session events they cause are handled.
    void feed(const std::shared_ptr<TranscriptionChannel>& channel,
              const std::vector<std::uint8_t>& pcm) {
        fed.insert(fed.end(), pcm.begin(), pcm.end());
        for (auto& piece : piecesOf(pcm, 4800)) {
            Task<>::spawn(io.get_executor(), "test",
                          [channel, piece]() mutable { return channel->feed(std::move(piece)); });
        }
        clock->runReady();
    }

    bool connected(std::size_t count) {
        return runUntil([&] {
            return server.connectionCount() >= count &&
                   server.connection(count - 1).messages.size() >= 1;
        });
    }
    static std::size_t commits(const RealtimeTestServer::Connection& connection) {
        return connection.messagesOfType("input_audio_buffer.commit").size();
    }
};

TEST(TranscriptionChannel, RenewsNinetySecondsBeforeExpiryButNotSoonerThanThirty) {
    for (const auto& [lifetime, renewalAfter] :
         std::vector<std::pair<Clock::Duration, Clock::Duration>>{
             {600s, 510s}, {121s, 31s}, {120s, 30s}}) {
        ChannelTest test;
        test.tokenLifetime = lifetime;
        auto channel = test.startedChannel();
        test.advance(renewalAfter - 100ms);
        EXPECT_EQ(test.fetchTimes.size(), 1u) << lifetime.count();
        test.advance(200ms);
        EXPECT_EQ(test.fetchTimes.size(), 2u) << lifetime.count();
        ASSERT_TRUE(test.connected(2)) << lifetime.count();
        EXPECT_EQ(test.server.connection(1).authorization, "Bearer ek_2");
        EXPECT_TRUE(test.runUntil(
            [&] { return test.server.connection(0).ended && test.problems == Problems(2); }));
    }
}

// A renewal whose fetch outlives its session opens nothing: replacing it is the reconnection's job.
TEST(TranscriptionChannel, ReconnectsWithBackOffHoldingTheLastFiveMinutesUntilCancelled) {
    ChannelTest test;
    test.tokenLifetime = 120s;
    auto channel = test.startedChannel();
    auto gate = test.nextFetchGate = std::make_shared<OneShot<>>(test.io.get_executor());
    test.advance(30100ms);
    ASSERT_EQ(test.fetchTimes.size(), 2u) << "the renewal's fetch is on its way";
    test.fetchFailure = "The network is down";
    const auto failedAt = test.clock->now();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() == 2; }));
    EXPECT_EQ(test.problems[1], "OpenAI transcription stopped");
    for (int minute = 0; minute < 6; ++minute) {
        test.feed(channel, quiet(60'000));
        test.advance(60s);
    }
    // Waits of 1, 3, 10 and then 30 s.
    ASSERT_GE(test.fetchTimes.size(), 8u);
    EXPECT_EQ(std::vector(test.fetchTimes.begin() + 2, test.fetchTimes.begin() + 8),
              (std::vector{failedAt + 1s, failedAt + 4s, failedAt + 14s, failedAt + 44s,
                           failedAt + 74s, failedAt + 104s}));
    EXPECT_EQ(test.problems.size(), test.fetchTimes.size());
    EXPECT_EQ(test.problems.back(), "Can't reach transcription: The network is down");
    EXPECT_EQ(test.backlogs,
              std::vector<std::string>{"The connection was down for over 5 minutes: "
                                       "the oldest audio from the outage was dropped"});

    // The next attempt succeeds; once the session is confirmed, the problem is cleared and the
    // last five minutes are handed back.
    test.fetchFailure.reset();
    const auto fetches = test.fetchTimes.size();
    ASSERT_TRUE(
        test.clock->advanceUntil([&] { return test.fetchTimes.size() > fetches; }, 30s, 50ms));
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back() == std::nullopt; }));
    ASSERT_EQ(test.catchUps.size(), 1u);
    EXPECT_EQ(test.catchUps[0].first.size(), 300'000u * 48);
    EXPECT_EQ(test.catchUps[0].second, 60'000);
    gate->resume();
    // The back-off starts over after a confirmed session.
    const auto secondFailure = test.clock->now();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back().has_value(); }));
    test.advance(1050ms);
    ASSERT_TRUE(test.connected(3));
    EXPECT_EQ(test.fetchTimes.back() - secondFailure, 1s);
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back() == std::nullopt; }));
    // A cancel stops the reconnection before its next fetch.
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back().has_value(); }));
    Pending<void>(test.io, channel->cancel()).get();
    const auto fetchesAtCancel = test.fetchTimes.size();
    test.advance(120s);
    EXPECT_EQ(test.fetchTimes.size(), fetchesAtCancel);
    EXPECT_EQ(test.server.connectionCount(), 3u);
}

TEST(TranscriptionChannel, AudioFedToAFailingSessionIsHeldAndHandedBackOnceANewOneIsConfirmed) {
    ChannelTest test;
    // A service that takes the connection but never confirms it: beyond its bound the session
    // fails while pieces fed before the failure is handled are still coming.
    test.server.script.confirm = false;
    auto channel = test.makeChannel();
    Pending<void>(test.io, channel->start()).get();
    ASSERT_TRUE(test.connected(1));
    test.feed(channel, speech(70'000, 1));
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() == 1; }));
    EXPECT_EQ(test.problems[0], "OpenAI took too long to accept the session");
    test.feed(channel, speech(500, 2));
    test.advance(1050ms);
    ASSERT_TRUE(test.connected(2));
    settle(test.io, 20ms);
    EXPECT_TRUE(test.catchUps.empty()) << "handed back only once the session is confirmed";
    test.server.lastConnection().send(R"({"type":"session.updated"})");
    ASSERT_TRUE(test.runUntil(
        [&] { return test.catchUps.size() == 1 && test.problems.back() == std::nullopt; }));
    EXPECT_EQ(test.catchUps[0], CatchUp(test.fed, 0));
    EXPECT_TRUE(test.backlogs.empty());
    EXPECT_TRUE(test.server.lastConnection().appendedAudio().empty());
}

// A renewal retires the first session with its open turn committed; the current one's turn is
// closed by a pause. Both answer (the silence after the turn is not held either), or the current
// one never does and ends by the final wait, by a drop during the finish, by a drop before it (its
// audio then held as an outage), or by a cancel. Audio fed before the start is neither sent nor
// held.
TEST(TranscriptionChannel, FinishReportsOrHandsBackWhatEachSessionOwesButNothingAfterCancel) {
    enum class End { answered, finalWait, drop, disconnected, cancel };
    for (const End end :
         {End::answered, End::finalWait, End::drop, End::disconnected, End::cancel}) {
        ChannelTest test;
        test.tokenLifetime = 120s;
        auto channel = test.startedChannel(quiet(500));
        test.feed(channel, speech(1000));
        test.advance(30100ms);
        ASSERT_TRUE(test.connected(2));
        auto& old = test.server.connection(0);
        auto& current = test.server.connection(1);
        test.feed(channel, speech(1000, 2));
        test.feed(channel, quiet(700));  // the turn ends after 600 ms of it
        ASSERT_TRUE(test.runUntil(
            [&] { return ChannelTest::commits(old) == 1 && ChannelTest::commits(current) == 1; }));
        if (end == End::disconnected) {
            current.drop();
            ASSERT_TRUE(test.runUntil([&] { return test.problems.back().has_value(); }));
        }
        Pending<void> finishing(test.io, channel->finish());
        test.clock->runReady();
        if (end == End::answered) {
            old.send(completed("item_1", "old"));
            current.send(completed("item_1", "new"));
            ASSERT_TRUE(test.runUntil([&] { return old.ended && current.ended; }));
        } else if (end == End::drop) {
            current.drop();
        } else if (end == End::cancel) {
            Pending<void>(test.io, channel->cancel()).get();
            EXPECT_TRUE(finishing.finish());
            old.send(completed("item_1", "old"));
            current.send(completed("item_1", "new"));
            ASSERT_TRUE(test.runUntil([&] { return old.ended && current.ended; }));
        }
        test.advance(3100ms);
        ASSERT_TRUE(finishing.finish());
        test.advance(60s);
        EXPECT_EQ(test.fetchTimes.size(), 2u) << "no reconnection after finish";
        const CatchUp first(speech(1000), 500);
        const CatchUp second({test.fed.begin() + 1000 * 48, test.fed.end()}, 1500);
        if (end == End::answered) {
            std::sort(test.segments.begin(), test.segments.end());
            EXPECT_EQ(test.segments,
                      (std::vector{Segment(0, 1500, "old"), Segment(1500, 3100, "new")}));
            auto sent = old.appendedAudio();
            const auto sentLater = current.appendedAudio();
            sent.insert(sent.end(), sentLater.begin(), sentLater.end());
            EXPECT_EQ(sent, test.fed);
        } else {
            EXPECT_TRUE(test.segments.empty());
        }
        if (end == End::answered || end == End::cancel) {
            EXPECT_TRUE(test.catchUps.empty());
        } else {
            const bool firstAhead = end == End::disconnected;
            EXPECT_EQ(test.catchUps,
                      (firstAhead ? std::vector{first, second} : std::vector{second, first}));
        }
    }
}

// Finished or cancelled while the first token is on its way, or released by its owner while the
// session waits for its confirmation: no session runs on, nothing more is reported or attempted.
TEST(TranscriptionChannel, NothingRunsOnAfterAStopOrReleaseBeforeTheFirstSessionIsUp) {
    enum class Stop { finish, cancel, release };
    for (const Stop stop : {Stop::finish, Stop::cancel, Stop::release}) {
        ChannelTest test;
        test.server.script.confirm = false;
        auto channel = test.makeChannel();
        auto gate = test.nextFetchGate = std::make_shared<OneShot<>>(test.io.get_executor());
        Pending<void> starting(test.io, channel->start());
        test.clock->runReady();
        if (stop == Stop::release) {
            gate->resume();
            ASSERT_TRUE(starting.finish());
            ASSERT_TRUE(test.connected(1));
            std::erase(test.made, channel);
            test.release(std::move(channel));
            ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
        } else {
            Pending<void>(test.io, stop == Stop::cancel ? channel->cancel() : channel->finish())
                .get();
            gate->resume();
            ASSERT_TRUE(starting.finish());
            test.feed(channel, speech(1000));
        }
        test.advance(60s);
        EXPECT_EQ(test.server.connectionCount(), stop == Stop::release ? 1u : 0u);
        EXPECT_EQ(test.fetchTimes.size(), 1u);
        EXPECT_TRUE(test.problems.empty() && test.catchUps.empty());
    }
}

// The token's address is used only when it is secure, or plain to a loopback host; else the
// service's own address is.
TEST(RealtimeEndpoint, FallsBackToTheDefaultWhenTheTokensAddressIsRefused) {
    const std::string fallback(RealtimeEndpoint::defaultURL);
    for (const auto& [given, used] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, fallback},
             {" rt.example/v1 ", "wss://rt.example/v1"},
             {"ws://rt.example/v1", fallback}}) {
        EXPECT_EQ(RealtimeEndpoint::forToken({"ek", {}, std::nullopt, given}), used)
            << given.value_or("(none)");
    }
}

}  // namespace
}  // namespace tessarin::test
