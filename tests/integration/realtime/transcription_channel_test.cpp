#include "recording/realtime/transcription_channel.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/async/task.hpp"
#include "integration/realtime/realtime_harness.hpp"
#include "support/audio_signals.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t bytesPer100ms = 4800;

std::vector<std::uint8_t> speech(std::int64_t ms, std::uint32_t seed = 1) {
    return bytesOf(speechSamples(ms * 24, seed));
}
std::vector<std::uint8_t> quiet(std::int64_t ms) {
    return bytesOf(quietSamples(ms * 24));
}

struct Problem {
    Speaker speaker;
    std::optional<std::string> message;
    Clock::TimePoint at;
};

struct ChannelTest : RealtimeHarness {
    ChannelTest() {
        server.script.acknowledgeCommits = true;
        wallStart = std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 50));
        steadyStart = clock->now();
    }

    std::chrono::system_clock::time_point wallStart;
    Clock::TimePoint steadyStart;
    // Seconds until expiry of the tokens handed out.
    double tokenLifetime = 600;
    // While set, token fetches fail with this description.
    std::optional<std::string> fetchFailure;
    std::vector<Clock::TimePoint> fetchTimes;

    std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> segments;
    std::vector<std::pair<std::string, std::string>> deltas;
    std::vector<Problem> problems;
    std::vector<std::string> backlogs;
    std::vector<std::pair<std::vector<std::uint8_t>, std::int64_t>> catchUps;

    std::chrono::system_clock::time_point wallNow() const {
        return wallStart + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                               clock->now() - steadyStart);
    }

    std::shared_ptr<TranscriptionChannel> makeChannel() {
        ChannelCallbacks callbacks;
        callbacks.segment = [this](Speaker, std::int64_t t0, std::int64_t t1, std::string text) {
            segments.emplace_back(t0, t1, std::move(text));
        };
        callbacks.delta = [this](Speaker, std::string text, std::string item) {
            deltas.emplace_back(std::move(text), std::move(item));
        };
        callbacks.problem = [this](Speaker speaker, std::optional<std::string> message) {
            problems.push_back({speaker, std::move(message), clock->now()});
        };
        callbacks.backlog = [this](Speaker, std::string message) {
            backlogs.push_back(std::move(message));
        };
        callbacks.catchUp = [this](Speaker, std::vector<std::uint8_t> pcm, std::int64_t startMs) {
            catchUps.emplace_back(std::move(pcm), startMs);
        };
        auto fetch = [this]() -> Awaitable<TranscriptionToken> {
            fetchTimes.push_back(clock->now());
            if (fetchFailure) {
                throw std::runtime_error(*fetchFailure);
            }
            co_return TranscriptionToken{
                "ek_" + std::to_string(fetchTimes.size()),
                wallNow() + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                seconds(tokenLifetime)),
                std::nullopt, server.url()};
        };
        TranscriptionChannel::Dependencies dependencies{
            io.get_executor(), clock, [this] { return wallNow(); }, liveSockets()};
        return std::make_shared<TranscriptionChannel>(std::move(dependencies), Speaker::them, "en",
                                                      fetch, callbacks, 3.0);
    }

    // Runs one channel operation to its end; rethrows its failure.
    void await(std::function<Awaitable<void>()> operation) {
        auto task = Task<>::spawn(io.get_executor(), "test", std::move(operation));
        ASSERT_TRUE(runUntil([&] { return task.done(); }));
        std::exception_ptr failure;
        Task<>::spawn(io.get_executor(), "test", [task, &failure]() -> Awaitable<void> {
            try {
                co_await task.result();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        clock->runReady();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    void start(const std::shared_ptr<TranscriptionChannel>& channel) {
        await([channel] { return channel->start(); });
    }

    // Feeds audio in 100 ms pieces, as the capture path delivers it.
    void feed(const std::shared_ptr<TranscriptionChannel>& channel,
              const std::vector<std::uint8_t>& pcm) {
        for (std::size_t offset = 0; offset < pcm.size(); offset += bytesPer100ms) {
            const auto end = std::min(pcm.size(), offset + bytesPer100ms);
            std::vector<std::uint8_t> piece(pcm.begin() + offset, pcm.begin() + end);
            auto task = Task<>::spawn(io.get_executor(), "test", [channel, piece]() mutable {
                return channel->feed(std::move(piece));
            });
            clock->runReady();
        }
    }

    // Moves virtual time in small steps until the nth token fetch, so that the connection that
    // follows has real time to open before any time-out of its own comes due.
    void advanceUntilFetch(std::size_t count) {
        ASSERT_TRUE(clock->advanceUntil([&] { return fetchTimes.size() >= count; }, 60s, 50ms));
    }

    // A channel whose first session is connected.
    std::shared_ptr<TranscriptionChannel> startedChannel() {
        auto channel = makeChannel();
        start(channel);
        EXPECT_TRUE(connected(1));
        return channel;
    }

    // With tokens of 120 s, runs to the first renewal while a turn is still open.
    void renewWithATurnOpen(const std::shared_ptr<TranscriptionChannel>& channel) {
        feed(channel, speech(1000));
        advance(30.1);
        EXPECT_TRUE(connected(2));
    }

    bool connected(std::size_t count) {
        return runUntil([&] {
            return server.connectionCount() >= count &&
                   server.connection(count - 1).messages.size() >= 1;
        });
    }

    double secondsSinceStart(Clock::TimePoint at) const {
        return std::chrono::duration<double>(at - steadyStart).count();
    }

    // Answers the nth item's transcript on a connection.
    static void complete(RealtimeTestServer::Connection& connection, std::size_t item,
                         const std::string& text) {
        connection.sendJSON(
            JSONValue::object({{"type", "conversation.item.input_audio_transcription.completed"},
                               {"item_id", RealtimeTestServer::itemID(item)},
                               {"transcript", text}}));
    }
};

TEST(TranscriptionChannel, StreamsAudioCommitsTurnsAndReportsSegments) {
    ChannelTest test;
    auto channel = test.startedChannel();
    auto& connection = test.server.lastConnection();
    EXPECT_EQ(connection.authorization, "Bearer ek_1");

    std::vector<std::uint8_t> fed = speech(1000);
    auto pause = quiet(700);
    fed.insert(fed.end(), pause.begin(), pause.end());
    test.feed(channel, fed);
    ASSERT_TRUE(test.runUntil(
        [&] { return connection.messagesOfType("input_audio_buffer.commit").size() == 1; }));
    ASSERT_TRUE(test.runUntil([&] { return connection.appendedAudio().size() == fed.size(); }));
    EXPECT_EQ(connection.appendedAudio(), fed);

    connection.sendJSON(
        JSONValue::object({{"type", "conversation.item.input_audio_transcription.delta"},
                           {"item_id", "item_1"},
                           {"delta", "Hel"}}));
    ChannelTest::complete(connection, 1, " Hello  there ");
    ASSERT_TRUE(test.runUntil([&] { return test.segments.size() == 1; }));
    // The turn ends after 600 ms of silence: 1000 ms of speech + 600 ms.
    EXPECT_EQ(test.segments[0],
              std::make_tuple(std::int64_t{0}, std::int64_t{1600}, std::string("Hello there")));
    EXPECT_EQ(test.deltas, (std::vector<std::pair<std::string, std::string>>{{"Hel", "item_1"}}));
    // The session's confirmation clears any problem.
    ASSERT_FALSE(test.problems.empty());
    EXPECT_EQ(test.problems.back().message, std::nullopt);
}

TEST(TranscriptionChannel, FinishCommitsTheLastTurnAndReportsItBeforeReturning) {
    ChannelTest test;
    test.server.script.onMessage = [](RealtimeTestServer::Connection& connection,
                                      const std::string& text) {
        if (text.find("input_audio_buffer.commit") != std::string::npos) {
            ChannelTest::complete(connection, 1, "last words");
        }
    };
    auto channel = test.startedChannel();
    test.feed(channel, speech(800));
    test.await([channel] { return channel->finish(); });
    ASSERT_EQ(test.segments.size(), 1u);
    EXPECT_EQ(test.segments[0],
              std::make_tuple(std::int64_t{0}, std::int64_t{800}, std::string("last words")));
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
    EXPECT_EQ(test.server.lastConnection().closeCode, 1000);
    // Audio after the end is ignored.
    test.feed(channel, speech(500));
    settle(test.io, 20ms);
    EXPECT_EQ(test.server.lastConnection().appendedAudio().size(), 800u * 48);
}

TEST(TranscriptionChannel, RenewsNinetySecondsBeforeExpiryButNotSoonerThanThirtySeconds) {
    struct Case {
        double lifetime, renewalAfter;
    };
    for (const Case& c : {Case{600, 510}, Case{60, 30}, Case{-5, 30}}) {
        ChannelTest test;
        test.tokenLifetime = c.lifetime;
        auto channel = test.makeChannel();
        test.start(channel);
        ASSERT_TRUE(test.connected(1));
        test.advance(c.renewalAfter - 0.1);
        EXPECT_EQ(test.fetchTimes.size(), 1u) << c.lifetime;
        test.advance(0.2);
        EXPECT_EQ(test.fetchTimes.size(), 2u) << c.lifetime;
        ASSERT_TRUE(test.connected(2)) << c.lifetime;
        EXPECT_EQ(test.server.connection(1).authorization, "Bearer ek_2");
    }
}

TEST(TranscriptionChannel, ARetiredSessionStillReportsButItsFailureIsIgnored) {
    ChannelTest test;
    test.tokenLifetime = 120;  // renewal after 30 s
    auto channel = test.startedChannel();
    auto& old = test.server.connection(0);
    test.renewWithATurnOpen(channel);
    // The open turn was committed on the old session before it was retired.
    ASSERT_TRUE(
        test.runUntil([&] { return old.messagesOfType("input_audio_buffer.commit").size() == 1; }));
    ChannelTest::complete(old, 1, "from the old session");
    ASSERT_TRUE(test.runUntil([&] { return test.segments.size() == 1; }));
    EXPECT_EQ(test.segments[0], std::make_tuple(std::int64_t{0}, std::int64_t{1000},
                                                std::string("from the old session")));
    // The retired session closes once it has nothing due.
    ASSERT_TRUE(test.runUntil([&] { return old.ended; }));
    EXPECT_EQ(old.closeCode, 1000);
    test.advance(20);
    for (const auto& problem : test.problems) {
        EXPECT_EQ(problem.message, std::nullopt);
    }
    EXPECT_EQ(test.server.connectionCount(), 2u);
}

TEST(TranscriptionChannel, AFailedRetiringSessionDoesNotStartAReconnection) {
    ChannelTest test;
    test.tokenLifetime = 120;
    auto channel = test.startedChannel();
    test.renewWithATurnOpen(channel);
    test.server.connection(0).sendJSON(JSONValue::object(
        {{"type", "error"}, {"error", JSONValue::object({{"code", "server_error"}})}}));
    test.server.connection(0).drop();
    settle(test.io, 20ms);
    test.advance(5);
    EXPECT_EQ(test.fetchTimes.size(), 2u);
    for (const auto& problem : test.problems) {
        EXPECT_EQ(problem.message, std::nullopt);
    }
}

TEST(TranscriptionChannel, ReconnectsWithBackOffAndReportsEachFailedAttempt) {
    ChannelTest test;
    auto channel = test.startedChannel();
    test.fetchFailure = "The network is down";
    const auto failedAt = test.clock->now();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() >= 2; }));
    EXPECT_EQ(test.problems[1].message, "OpenAI transcription stopped");

    test.advance(1 + 3 + 10 + 30 + 30 + 0.5);
    ASSERT_EQ(test.fetchTimes.size(), 6u);
    std::vector<double> waits;
    auto previous = failedAt;
    for (std::size_t i = 1; i < test.fetchTimes.size(); ++i) {
        waits.push_back(std::chrono::duration<double>(test.fetchTimes[i] - previous).count());
        previous = test.fetchTimes[i];
    }
    EXPECT_EQ(waits, (std::vector<double>{1, 3, 10, 30, 30}));
    ASSERT_EQ(test.problems.size(), 2u + 5u);
    for (std::size_t i = 2; i < test.problems.size(); ++i) {
        EXPECT_EQ(test.problems[i].message, "Can't reach transcription: The network is down");
    }

    // The next attempt succeeds and the problem is cleared once the session is confirmed.
    test.fetchFailure.reset();
    test.advance(30.1);
    ASSERT_TRUE(test.connected(2));
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back().message == std::nullopt; }));
    // The back-off starts over after a confirmed session.
    const auto secondFailure = test.clock->now();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.back().message.has_value(); }));
    test.advance(1.05);
    ASSERT_TRUE(test.connected(3));
    EXPECT_EQ(test.fetchTimes.back() - secondFailure, std::chrono::seconds(1));
}

TEST(TranscriptionChannel, AudioOfAnOutageIsHandedBackOnceTheNewSessionIsReady) {
    ChannelTest test;
    auto channel = test.startedChannel();
    test.feed(channel, quiet(1000));
    test.fetchFailure = "offline";
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() >= 2; }));

    // Two minutes of speech while no session exists.
    std::vector<std::uint8_t> held;
    for (int second = 0; second < 120; ++second) {
        auto piece = speech(1000, static_cast<std::uint32_t>(second + 10));
        held.insert(held.end(), piece.begin(), piece.end());
    }
    test.feed(channel, held);
    EXPECT_TRUE(test.catchUps.empty());

    test.fetchFailure.reset();
    test.server.script.confirm = false;
    test.advance(1.05);
    ASSERT_TRUE(test.connected(2));
    settle(test.io, 20ms);
    EXPECT_TRUE(test.catchUps.empty()) << "handed back only once the session is confirmed";
    test.server.lastConnection().sendJSON(JSONValue::object({{"type", "session.updated"}}));
    ASSERT_TRUE(test.runUntil([&] { return test.catchUps.size() == 1; }));
    EXPECT_EQ(test.catchUps[0].second, 1000);
    EXPECT_EQ(test.catchUps[0].first, held);
    EXPECT_EQ(test.problems.back().message, std::nullopt);
    EXPECT_TRUE(test.backlogs.empty());
    // The held audio was not sent to the new session.
    EXPECT_TRUE(test.server.lastConnection().appendedAudio().empty());
}

TEST(TranscriptionChannel, ALongOutageKeepsTheLastFiveMinutesAndWarnsOnce) {
    ChannelTest test;
    auto channel = test.startedChannel();
    test.fetchFailure = "offline";
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() >= 2; }));

    const auto minute = quiet(60'000);
    for (int i = 0; i < 6; ++i) {
        test.feed(channel, minute);
        test.advance(60);
    }
    EXPECT_EQ(test.backlogs,
              std::vector<std::string>{std::string(TranscriptionChannel::outageDropMessage)});
    test.fetchFailure.reset();
    test.advanceUntilFetch(test.fetchTimes.size() + 1);
    ASSERT_TRUE(test.runUntil([&] { return test.catchUps.size() == 1; }));
    EXPECT_EQ(test.catchUps[0].first.size(), 300'000u * 48);
    EXPECT_EQ(test.catchUps[0].second, 60'000);
}

TEST(TranscriptionChannel, CancelStopsTheReconnectionBeforeItsNextFetch) {
    ChannelTest test;
    auto channel = test.startedChannel();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.problems.size() >= 2; }));
    test.await([channel] { return channel->cancel(); });
    test.advance(120);
    EXPECT_EQ(test.fetchTimes.size(), 1u);
    EXPECT_EQ(test.server.connectionCount(), 1u);
}

TEST(TranscriptionChannel, NothingIsReportedAfterCancel) {
    ChannelTest test;
    test.tokenLifetime = 120;
    auto channel = test.startedChannel();
    test.renewWithATurnOpen(channel);
    test.feed(channel, speech(1000));
    test.feed(channel, quiet(700));
    auto& current = test.server.connection(1);
    ASSERT_TRUE(test.runUntil(
        [&] { return current.messagesOfType("input_audio_buffer.commit").size() == 1; }));
    test.await([channel] { return channel->cancel(); });
    ChannelTest::complete(test.server.connection(0), 1, "old");
    ChannelTest::complete(current, 1, "new");
    current.sendJSON(JSONValue::object({{"type", "error"}}));
    ASSERT_TRUE(test.runUntil([&] { return test.server.connection(0).ended && current.ended; }));
    settle(test.io, 20ms);
    test.advance(60);
    EXPECT_TRUE(test.segments.empty());
    EXPECT_EQ(test.fetchTimes.size(), 2u);
    EXPECT_EQ(current.closeCode, 1000);
}

TEST(TranscriptionChannel, AudioBeforeAStartIsNeitherSentNorHeld) {
    ChannelTest test;
    test.fetchFailure = "no token";
    auto channel = test.makeChannel();
    test.feed(channel, speech(500));
    auto failing =
        Task<>::spawn(test.io.get_executor(), "test", [channel] { return channel->start(); });
    ASSERT_TRUE(test.runUntil([&] { return failing.done(); }));
    std::string error;
    Task<>::spawn(test.io.get_executor(), "test", [&error, failing]() -> Awaitable<void> {
        try {
            co_await failing.result();
        } catch (const std::exception& failure) {
            error = failure.what();
        }
    });
    test.clock->runReady();
    EXPECT_EQ(error, "no token");
    test.feed(channel, speech(500));
    test.fetchFailure.reset();
    test.start(channel);
    ASSERT_TRUE(test.connected(1));
    // The detector heard the early speech, so finishing commits a turn the service never got
    // audio for; it answers nothing and the final wait ends the finish.
    auto finishing =
        Task<>::spawn(test.io.get_executor(), "test", [channel] { return channel->finish(); });
    test.advance(3.1);
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    EXPECT_TRUE(test.catchUps.empty());
    EXPECT_TRUE(test.server.lastConnection().appendedAudio().empty());
}

TEST(TranscriptionChannel, ReleasingAChannelWhileItsSessionConnectsIsSafe) {
    ChannelTest test;
    test.server.script.confirm = false;
    {
        auto channel = test.makeChannel();
        test.start(channel);
        test.feed(channel, speech(300));
    }
    test.advance(20);  // the released session's watchdog and the renewal find nothing
    ASSERT_TRUE(test.runUntil([&] {
        for (std::size_t i = 0; i < test.server.connectionCount(); ++i) {
            if (!test.server.connection(i).ended) {
                return false;
            }
        }
        return true;
    }));
    test.advance(600);
    EXPECT_EQ(test.fetchTimes.size(), 1u);
    EXPECT_TRUE(test.problems.empty());
}

TEST(TranscriptionChannel, ASessionFailingDuringFinishEndsTheFinish) {
    ChannelTest test;
    auto channel = test.startedChannel();
    test.feed(channel, speech(800));
    auto finishing =
        Task<>::spawn(test.io.get_executor(), "test", [channel] { return channel->finish(); });
    auto& connection = test.server.lastConnection();
    ASSERT_TRUE(test.runUntil(
        [&] { return connection.messagesOfType("input_audio_buffer.commit").size() == 1; }));
    connection.drop();
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    test.advance(60);
    EXPECT_EQ(test.fetchTimes.size(), 1u) << "no reconnection after finish";
}

}  // namespace
}  // namespace tessarin::test
