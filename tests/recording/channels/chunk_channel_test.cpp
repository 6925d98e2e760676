#include "recording/channels/chunk_channel.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/api_client.hpp"
#include "core/async/manual_clock.hpp"
#include "core/async/steady_clock.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"
#include "core/net/beast_http_transport.hpp"
#include "core/transcript/transcript_seq.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/audio_signals.hpp"
#include "support/io_driver.hpp"
#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::LoopbackHTTPServer;
using Reply = LoopbackHTTPServer::Reply;
using Problems = std::vector<std::optional<std::string>>;
using Limits = ChunkChannel::Limits;

std::vector<std::string> fallingBehind(int seconds) {
    return {"Transcription is falling behind: " + std::to_string(seconds) +
            " s of audio was dropped while uploads were slow"};
}
const std::string lost = "A stretch of audio couldn't be transcribed: ";
const Reply storedSegment = Reply::json(
    200, R"({"segment":{"seq":7,"startedMs":0,"endedMs":9,"speaker":"them","text":"chunk"}})");

// A spoken turn of `speechMs` followed by the 600 ms pause that closes it: fed to a fresh channel
// the cutter makes one chunk of speechMs + 600 ms from it once it is at least 20 s long.
std::vector<std::uint8_t> turn(std::int64_t speechMs, std::uint32_t seed) {
    auto samples = test::speechSamples(speechMs * PCM16::sampleRate / 1000, seed);
    test::appendTo(samples, test::quietSamples(600 * PCM16::sampleRate / 1000, seed + 1000));
    return test::bytesOf(samples);
}

std::int64_t seqOf(std::int64_t startedMs) {
    return TranscriptSeq::make(startedMs, Speaker::them, false);
}

struct ChunkChannelTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    Clock::TimePoint began = clock->now();

    // What the channel handed to the upload.
    struct Upload {
        std::int64_t seq, startedMs, endedMs;
        std::vector<std::uint8_t> wav;
    };
    std::vector<Upload> uploads;
    int attemptsEnded = 0;
    std::vector<Segment> stored;
    Problems problems;
    std::vector<std::string> backlogs;

    LoopbackHTTPServer server;
    // The transport's own limits run on real time, so that only the channel's limits act here.
    APIClient client{
        std::make_shared<AccessTokenAuthProvider>(*URL::typed(server.baseURL()), "secret-token"),
        std::make_shared<BeastHTTPTransport>(io.get_executor(), std::make_shared<SteadyClock>())};

    std::shared_ptr<ChunkChannel> makeChannel(Limits limits, std::int64_t offsetMs = 0) {
        ChannelCallbacks callbacks;
        callbacks.stored = [this](Segment segment) { stored.push_back(std::move(segment)); };
        callbacks.problem = [this](Speaker, std::optional<std::string> message) {
            problems.push_back(std::move(message));
        };
        callbacks.backlog = [this](Speaker speaker, std::string message) {
            EXPECT_EQ(speaker, Speaker::them);
            backlogs.push_back(std::move(message));
        };
        // What the pipeline binds: the client's chunk upload for this meeting and speaker.
        auto upload = [this](std::vector<std::uint8_t> wav, std::int64_t seq,
                             std::int64_t startedMs, std::int64_t endedMs,
                             ChunkChannel::TokenWait wait) -> Awaitable<std::optional<Segment>> {
            uploads.push_back({seq, startedMs, endedMs, wav});
            struct CountEnd {
                ChunkChannelTest& test;
                ~CountEnd() { ++test.attemptsEnded; }
            } countEnd{*this};
            co_return co_await client.appendAudioChunk("meeting-7", std::move(wav), seq, startedMs,
                                                       endedMs, Speaker::them, "de", wait);
        };
        return ChunkChannel::create(io.get_executor(), Speaker::them, "de", offsetMs, seqOf, upload,
                                    callbacks, std::move(limits));
    }

    // Feeds, then lets what the feed reported arrive.
    void feed(ChunkChannel& channel, std::vector<std::uint8_t> pcm) {
        const std::size_t reported = backlogs.size();
        test::Pending<void>(io, channel.feed(std::move(pcm))).get();
        EXPECT_EQ(backlogs.size(), reported) << "reported inside the call that caused it";
        clock->runReady();
    }
    // Feeds turns of 20.4 s speech with the given seeds: one 21 s chunk each.
    void feedTurns(ChunkChannel& channel, std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t seed = first; seed <= last; ++seed) {
            feed(channel, turn(20400, seed));
        }
    }
    // Runs real I/O until `count` attempts have ended, then lets the channel react to the last.
    bool attemptsReach(int count) {
        const bool reached = test::runUntil(io, [&] { return attemptsEnded >= count; });
        clock->runReady();
        return reached;
    }
    // Moves virtual time to `at` after the start of the test.
    void advanceTo(Clock::Duration at) { clock->advance(began + at - clock->now()); }
};

// Chunks go one at a time, at their recording positions, as WAV files of exactly the audio fed;
// a stored one clears the problem and leaves no time limit running. Cancelled mid-upload, the
// channel stops at once: a waiting finish returns, the request in flight (the only one) is closed
// and nothing more is sent or reported.
TEST_F(ChunkChannelTest, UploadsChunksOneAtATimeAtTheirRecordingPositionsUntilCancelled) {
    server.enqueue(storedSegment);
    server.setHandler([](const auto&) { return Reply::with(Reply::Action::hang); });
    auto channel = makeChannel(Limits(clock), 60000);
    const auto audio = turn(20400, 1);
    feed(*channel, audio);
    ASSERT_TRUE(attemptsReach(1));
    EXPECT_EQ(stored, std::vector<Segment>(1, {7, 0, 9, Speaker::them, "chunk"}));
    EXPECT_EQ(problems, Problems{std::nullopt});
    EXPECT_EQ(clock->sleepers(), 0u);
    feedTurns(*channel, 2, 4);
    ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 2; }));
    test::settle(io, 20ms);
    ASSERT_EQ(uploads.size(), 2u);
    for (const auto& [i, start, end] : {std::tuple{0, 60000, 81000}, {1, 81000, 102000}}) {
        EXPECT_EQ(uploads[i].seq, seqOf(start));
        EXPECT_EQ(uploads[i].startedMs, start);
        EXPECT_EQ(uploads[i].endedMs, end);
    }
    EXPECT_EQ(uploads[0].wav,
              WAV::encode(std::span(audio).first(21000 * PCM16::bytesPerMs), PCM16::sampleRate, 1));

    test::Pending<void> finishing(io, channel->finish());
    clock->runReady();
    EXPECT_FALSE(finishing.done());
    test::Pending<void> cancelling(io, channel->cancel());
    clock->runReady();
    EXPECT_TRUE(cancelling.done());
    EXPECT_EQ(channel->queuedCount(), 0u);
    EXPECT_EQ(channel->queuedBytes(), 0);
    ASSERT_TRUE(finishing.finish(1s));
    feed(*channel, turn(20400, 5));
    clock->advance(10min);
    clock->runReady();
    EXPECT_EQ(uploads.size(), 2u);
    EXPECT_EQ(stored.size() + problems.size(), 2u);
    EXPECT_TRUE(backlogs.empty());
    EXPECT_TRUE(server.waitForClosedConnections(2s));
}

// A refusal the server would repeat is given up at once; a failure that may pass, and an attempt
// that runs out of its 60 s, are retried 2 s and 4 s later. Either way one problem is reported,
// and the next upload that works clears it.
TEST_F(ChunkChannelTest, RetriesAfterTwoAndFourSecondsOrGivesUpAtOnce) {
    const std::tuple<Reply, int, std::string, Clock::Duration> cases[] = {
        {Reply::with(Reply::Action::hang), 3, "The upload took too long.", 60s},
        {Reply::json(400, R"({"error":"bad_audio","message":"The audio can't be read."})"), 1,
         "The audio can't be read.", 0s},
        {Reply::json(499, ""), 1, "Notara answered HTTP 499.", 0s},
        {Reply::json(401, ""), 1, "You're signed out. Sign in again.", 0s},
        {Reply::json(200, "<<not json>>"), 1, "Notara sent something unexpected (ChunkResponse).",
         0s},
        {Reply::json(429, ""), 3, "Notara answered HTTP 429.", 0s},
        {Reply::json(500, R"({"error":{"code":"stt","message":"Transcriber crashed"}})"), 3,
         "Transcriber crashed", 0s},
    };
    for (const auto& [reply, attempts, description, lasts] : cases) {
        SCOPED_TRACE(description);
        server.setHandler([&](const auto&) { return reply; });
        problems.clear();
        attemptsEnded = 0;
        const std::size_t before = uploads.size();
        auto channel = makeChannel(Limits(clock));
        feed(*channel, turn(20400, 1));
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            if (attempt > 1) {
                clock->advance(2s * (attempt - 1) - 1ms);
                EXPECT_EQ(uploads.size(), before + attempt - 1);
                EXPECT_TRUE(problems.empty());
                clock->advance(1ms);
            }
            ASSERT_EQ(uploads.size(), before + attempt);
            if (lasts > 0s) {
                clock->advance(lasts - 1ms);
                EXPECT_EQ(attemptsEnded, attempt - 1);
                clock->advance(1ms);
            }
            ASSERT_TRUE(attemptsReach(attempt));
        }
        EXPECT_EQ(problems, Problems{lost + description});
        clock->advance(60s);
        EXPECT_EQ(uploads.size(), before + attempts);

        // The queue ran dry: the next chunk starts a new upload, which clears the problem.
        server.setHandler([](const auto&) { return storedSegment; });
        feed(*channel, turn(20400, 2));
        ASSERT_TRUE(test::runUntil(io, [&] { return problems.size() == 2; }));
        EXPECT_EQ(uploads.back().startedMs, 21000);
        EXPECT_EQ(problems.back(), std::nullopt);
    }
}

// While the token broker waits for the user to sign in again, the upload's clock stands still.
TEST_F(ChunkChannelTest, AWaitForAFreshAccessTokenIsNotUploadTime) {
    int tokensNeeded = 0;
    auto broker = HelperAuth::create(io.get_executor(), clock, *URL::typed(server.baseURL()),
                                     "stale", 60s, [&] { ++tokensNeeded; });
    client = APIClient(broker, client.transport());
    server.enqueue(Reply::json(401, ""));
    server.enqueue(Reply::with(Reply::Action::hang));
    auto limits = Limits(clock);
    limits.uploadTimeout = 10s;
    auto channel = makeChannel(limits);
    feed(*channel, turn(20400, 1));

    ASSERT_TRUE(test::runUntil(io, [&] { return tokensNeeded == 1; }));
    clock->advance(30s);
    EXPECT_EQ(attemptsEnded, 0);
    test::Pending<void>(io, broker->update("fresh")).get();
    ASSERT_TRUE(test::runUntil(io, [&] { return server.requests().size() == 2; }));
    EXPECT_EQ(server.requests()[1].header("Authorization"), "Bearer fresh");
    // Ten seconds of upload time from here on.
    clock->advance(10s - 1ms);
    EXPECT_EQ(attemptsEnded, 0);
    clock->advance(1ms);
    ASSERT_TRUE(attemptsReach(1));
    EXPECT_EQ(uploads.size(), 1u);
}

// Past its byte bound the queue drops its oldest chunk (22.5 s: rounded away from zero to 23 s),
// though a single queued chunk is kept whatever its size. A chunk that waited longer than its age
// is dropped, also by the worker before it sends the next one.
TEST_F(ChunkChannelTest, TheQueueDropsItsOldestChunksPastItsBytesOrItsAge) {
    server.setHandler([](const auto&) { return Reply::with(Reply::Action::hang); });
    for (Limits limits : {Limits(clock), Limits::replay(clock)}) {
        const Clock::Duration age = limits.maxQueuedAge;
        backlogs.clear();
        began = clock->now();
        const int endedBefore = attemptsEnded;
        limits.uploadTimeout = age;
        auto channel = makeChannel(limits);
        feedTurns(*channel, 1, 2);  // the first is sent at once, the second waits
        advanceTo(age);
        feed(*channel, turn(20400, 3));  // the second has waited exactly its age: kept
        EXPECT_TRUE(backlogs.empty());
        advanceTo(age + 1ms);
        feed(*channel, turn(20900, 4));
        EXPECT_EQ(backlogs, fallingBehind(21));
        // The first is given up after three attempts; by then the others are too old to send.
        advanceTo(3 * age + 6s);
        ASSERT_TRUE(attemptsReach(endedBefore + 3));
        clock->runReady();
        EXPECT_EQ(backlogs.back(), fallingBehind(43).back());
        EXPECT_EQ(channel->queuedCount(), 0u);
    }
    const std::int64_t chunkBytes = 21000 * PCM16::bytesPerMs + 44;
    const std::int64_t firstBytes = chunkBytes + 1500 * PCM16::bytesPerMs;
    auto exactly = Limits(clock);
    exactly.maxQueuedBytes = firstBytes + 2 * chunkBytes;
    auto small = Limits(clock);
    small.maxQueuedBytes = 1'000'000;
    const std::pair<Limits, std::uint32_t> cases[] = {
        {Limits(clock), 8}, {Limits::replay(clock), 15}, {exactly, 3}, {small, 1}};
    for (const auto& [limits, fit] : cases) {
        SCOPED_TRACE(fit);
        backlogs.clear();
        auto channel = makeChannel(limits);
        feed(*channel, turn(20400, 1));  // in flight
        feed(*channel, turn(21900, 2));
        feedTurns(*channel, 3, fit + 1);
        EXPECT_TRUE(backlogs.empty());
        EXPECT_EQ(channel->queuedBytes(), firstBytes + (fit - 1) * chunkBytes);
        feed(*channel, turn(20400, 99));
        EXPECT_EQ(backlogs, fallingBehind(23));
        EXPECT_EQ(channel->queuedBytes(), fit * chunkBytes);
    }
    // Each channel was dropped with its first chunk in flight: nothing more is sent or reported.
    const auto sent = uploads.size();
    problems.clear();
    clock->advance(10min);
    clock->runReady();
    EXPECT_EQ(uploads.size(), sent);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(server.waitForClosedConnections(2s));
}

}  // namespace
}  // namespace tessarin
