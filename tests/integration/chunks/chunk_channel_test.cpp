#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/api_client.hpp"
#include "core/async/manual_clock.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/wav.hpp"
#include "core/net/beast_http_transport.hpp"
#include "core/transcript/transcript_seq.hpp"
#include "recording/channels/chunk_channel.hpp"
#include "support/audio_signals.hpp"
#include "support/io_driver.hpp"
#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"

using namespace std::chrono_literals;

namespace tessarin {
namespace {

using test::LoopbackHTTPServer;
using Reply = LoopbackHTTPServer::Reply;

constexpr std::int64_t samplesPerMs = 24;
using PCM16::bytesPerMs;
constexpr std::size_t wavHeaderBytes = 44;
constexpr std::string_view backlog21 =
    "Transcription is falling behind: 21 s of audio was dropped while uploads were slow";

// A spoken turn of `speechMs` followed by the 600 ms pause that closes it: fed to a fresh channel
// the cutter makes one chunk of speechMs + 600 ms from it once it is at least 20 s long.
std::vector<std::uint8_t> turn(std::int64_t speechMs, std::uint32_t seed) {
    auto samples = test::speechSamples(speechMs * samplesPerMs, seed);
    test::appendTo(samples, test::quietSamples(600 * samplesPerMs, seed + 1000));
    return test::bytesOf(samples);
}

// The value of a text field of a multipart/form-data body.
std::string formField(const std::string& body, const std::string& name) {
    const std::string marker = "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
    const auto at = body.find(marker);
    if (at == std::string::npos) {
        return "<missing>";
    }
    const auto start = at + marker.size();
    return body.substr(start, body.find("\r\n", start) - start);
}

std::string filePart(const std::string& body) {
    const std::string marker = "Content-Type: audio/wav\r\n\r\n";
    const auto start = body.find(marker) + marker.size();
    return body.substr(start, body.rfind("\r\n--") - start);
}

// The web server's answer to an upload: the segment it stored from the chunk.
Reply storedSegmentFor(const LoopbackHTTPServer::Request& request) {
    const std::string seq = formField(request.body, "seq");
    return Reply::json(200, R"({"segment":{"seq":)" + seq + R"(,"startedMs":)" +
                                formField(request.body, "startedMs") + R"(,"endedMs":)" +
                                formField(request.body, "endedMs") +
                                R"(,"speaker":"them","text":"chunk )" + seq + R"("}})");
}

// Slow enough to see that nothing else is sent meanwhile.
Reply storedSlowly(const LoopbackHTTPServer::Request& request) {
    Reply reply = storedSegmentFor(request);
    reply.delay = 200ms;
    return reply;
}

Reply hang(const LoopbackHTTPServer::Request&) {
    return Reply::with(Reply::Action::hang);
}

std::int64_t seqOf(std::int64_t startedMs) {
    return TranscriptSeq::make(startedMs, Speaker::them, false);
}

struct ChunkChannelTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    Clock::TimePoint began = clock->now();

    std::vector<Segment> stored;
    std::vector<std::optional<std::string>> problems;
    std::vector<std::string> backlogs;
    int attemptsEnded = 0;

    LoopbackHTTPServer server;
    APIClient client{
        std::make_shared<AccessTokenAuthProvider>(*URL::typed(server.baseURL()), "secret-token"),
        std::make_shared<BeastHTTPTransport>(io.get_executor(), clock)};

    std::shared_ptr<ChunkChannel> makeChannel(ChunkChannel::Limits limits,
                                              std::int64_t offsetMs = 0) {
        ChannelCallbacks callbacks;
        callbacks.stored = [this](Segment segment) { stored.push_back(std::move(segment)); };
        callbacks.problem = [this](Speaker speaker, std::optional<std::string> message) {
            EXPECT_EQ(speaker, Speaker::them);
            problems.push_back(std::move(message));
        };
        callbacks.backlog = [this](Speaker speaker, std::string message) {
            EXPECT_EQ(speaker, Speaker::them);
            backlogs.push_back(std::move(message));
        };
        // What the pipeline binds: the client's chunk upload for this meeting and speaker.
        auto upload = [this](std::vector<std::uint8_t> wav, std::int64_t seq,
                             std::int64_t startedMs,
                             std::int64_t endedMs) -> Awaitable<std::optional<Segment>> {
            struct CountEnd {
                int& ended;
                ~CountEnd() { ++ended; }
            } countEnd{attemptsEnded};
            co_return co_await client.appendAudioChunk("meeting-7", std::move(wav), seq, startedMs,
                                                       endedMs, Speaker::them, "de");
        };
        return ChunkChannel::create(Speaker::them, "de", offsetMs, seqOf, upload, callbacks,
                                    std::move(limits));
    }

    ChunkChannel::Limits defaults() { return ChunkChannel::Limits(clock); }

    void feed(ChunkChannel& channel, std::vector<std::uint8_t> pcm) {
        test::Pending<void>(io, channel.feed(std::move(pcm))).get();
    }
    // Feeds turns of 20.4 s speech with the given seeds: one 21 s chunk each.
    void feedTurns(ChunkChannel& channel, std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t seed = first; seed <= last; ++seed) {
            feed(channel, turn(20400, seed));
        }
    }

    bool requestsReach(std::size_t count, std::chrono::milliseconds limit = 5s) {
        return test::runUntil(
            io, [&] { return server.requests().size() >= count; }, limit);
    }
    // Runs real I/O until `count` attempts have ended, then lets the channel react to the last.
    bool attemptsReach(int count) {
        const bool reached = test::runUntil(io, [&] { return attemptsEnded >= count; });
        clock->runReady();
        return reached;
    }
    // Moves virtual time to `at` after the start of the test.
    void advanceTo(Clock::Duration at) { clock->advance(began + at - clock->now()); }

    std::vector<std::int64_t> uploadedSeqs() {
        std::vector<std::int64_t> seqs;
        for (const auto& request : server.requests()) {
            seqs.push_back(std::stoll(formField(request.body, "seq")));
        }
        return seqs;
    }
};

TEST_F(ChunkChannelTest, UploadsChunksOneAtATimeInOrderAtTheirRecordingPositions) {
    server.setHandler(storedSlowly);
    auto channel = makeChannel(defaults(), 60000);
    EXPECT_NO_THROW(test::Pending<void>(io, channel->start()).get());

    const auto audio = turn(20400, 1);
    feed(*channel, audio);
    feedTurns(*channel, 2, 3);
    ASSERT_TRUE(requestsReach(1));
    EXPECT_FALSE(requestsReach(2, 100ms));
    ASSERT_TRUE(test::runUntil(io, [&] { return stored.size() == 3; }));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::vector<std::int64_t> starts{60000, 81000, 102000};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& body = requests[i].body;
        EXPECT_EQ(requests[i].method, "POST");
        EXPECT_EQ(requests[i].target, "/api/v1/meetings/meeting-7/audio-chunk");
        EXPECT_EQ(formField(body, "seq"), std::to_string(seqOf(starts[i])));
        EXPECT_EQ(formField(body, "startedMs"), std::to_string(starts[i]));
        EXPECT_EQ(formField(body, "endedMs"), std::to_string(starts[i] + 21000));
        EXPECT_EQ(formField(body, "speaker"), "them");
        EXPECT_EQ(formField(body, "language"), "de");
        EXPECT_EQ(stored[i], (Segment{seqOf(starts[i]), starts[i], starts[i] + 21000, Speaker::them,
                                      "chunk " + std::to_string(seqOf(starts[i]))}));
    }
    // The first file is exactly the first 21 s of audio fed, as a 24 kHz mono WAV file.
    const auto wav = WAV::encode(std::span(audio).first(21000 * bytesPerMs), PCM16::sampleRate, 1);
    EXPECT_EQ(filePart(requests[0].body), std::string(wav.begin(), wav.end()));
    EXPECT_EQ(problems, (std::vector<std::optional<std::string>>(3, std::nullopt)));
    EXPECT_TRUE(backlogs.empty());
    EXPECT_EQ(channel->queuedCount(), 0u);
}

struct RefusalCase {
    std::string name;
    Reply reply;
    int attempts;
    std::string description;
};

struct ChunkChannelRefusals : ChunkChannelTest, testing::WithParamInterface<RefusalCase> {};

TEST_P(ChunkChannelRefusals, RetriesAfterTwoAndFourSecondsOrGivesUpAtOnce) {
    const RefusalCase& refusal = GetParam();
    server.setHandler([&](const LoopbackHTTPServer::Request&) { return refusal.reply; });
    auto channel = makeChannel(defaults());
    feed(*channel, turn(20400, 1));

    ASSERT_TRUE(attemptsReach(1));
    if (refusal.attempts > 1) {
        clock->advance(1999ms);
        EXPECT_FALSE(requestsReach(2, 50ms));
        clock->advance(1ms);
        ASSERT_TRUE(attemptsReach(2));
        EXPECT_TRUE(problems.empty());
        clock->advance(3999ms);
        EXPECT_FALSE(requestsReach(3, 50ms));
        clock->advance(1ms);
        ASSERT_TRUE(attemptsReach(3));
    }
    EXPECT_EQ(problems, (std::vector<std::optional<std::string>>{
                            "A stretch of audio couldn't be transcribed: " + refusal.description}));
    clock->advance(60s);
    EXPECT_FALSE(requestsReach(static_cast<std::size_t>(refusal.attempts) + 1, 50ms));
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(refusal.attempts));

    // The chunk is lost, the channel goes on, and the next upload that works clears the problem.
    server.setHandler(storedSegmentFor);
    feed(*channel, turn(20400, 2));
    ASSERT_TRUE(test::runUntil(io, [&] { return stored.size() == 1; }));
    EXPECT_EQ(stored[0].startedMs, 21000);
    clock->runReady();
    EXPECT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems.back(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    ByStatus, ChunkChannelRefusals,
    testing::Values(
        RefusalCase{
            "BadRequest",
            Reply::json(400, R"({"error":"bad_audio","message":"The audio can't be read."})"), 1,
            "The audio can't be read."},
        RefusalCase{"TooLarge", Reply::json(413, ""), 1, "Notara answered HTTP 413."},
        RefusalCase{"Forbidden", Reply::json(403, R"({"error":{"code":"no_access"}})"), 1,
                    "Notara answered HTTP 403."},
        RefusalCase{"UndecodableSuccess", Reply::json(200, "<<not json>>"), 1,
                    "Notara sent something unexpected (ChunkResponse)."},
        RefusalCase{"TooManyRequests", Reply::json(429, ""), 3, "Notara answered HTTP 429."},
        RefusalCase{"Unavailable", Reply::json(503, ""), 3, "Notara answered HTTP 503."},
        RefusalCase{"ServerError",
                    Reply::json(500, R"({"error":{"code":"stt","message":"Transcriber crashed"}})"),
                    3, "Transcriber crashed"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ChunkChannelTest, AnAttemptThatTakesTooLongIsRetriedThenGivenUpBeforeFinishReturns) {
    server.setHandler(hang);
    auto limits = defaults();
    limits.uploadTimeout = 10s;  // shorter than the client's own 30 s request limit
    auto channel = makeChannel(limits);
    feed(*channel, turn(20400, 1));
    test::Pending<void> finishing(io, channel->finish());

    ASSERT_TRUE(requestsReach(1));
    clock->advance(9999ms);
    EXPECT_EQ(attemptsEnded, 0);
    clock->advance(1ms);
    clock->advance(2s);
    ASSERT_TRUE(requestsReach(2));
    advanceTo(22s + 4s);
    ASSERT_TRUE(requestsReach(3));
    EXPECT_TRUE(problems.empty());
    EXPECT_FALSE(finishing.done());
    advanceTo(36s);
    ASSERT_TRUE(finishing.finish());
    EXPECT_EQ(problems,
              (std::vector<std::optional<std::string>>{
                  "A stretch of audio couldn't be transcribed: The upload took too long."}));
    clock->advance(60s);
    EXPECT_FALSE(requestsReach(4, 50ms));
}

TEST_F(ChunkChannelTest, ChunksThatWaitedLongerThanTheirAgeAreDroppedBeforeUpload) {
    // Nine attempts hang (three chunks, three attempts each); later ones are stored.
    for (int i = 0; i < 9; ++i) {
        server.enqueue(Reply::with(Reply::Action::hang));
    }
    server.setHandler(storedSegmentFor);
    auto limits = defaults();
    limits.uploadTimeout = 25s;  // each chunk given up after 25 + 2 + 25 + 4 + 25 = 81 s
    auto channel = makeChannel(limits);
    feedTurns(*channel, 1, 3);       // A 0-21000 sent at once, B 21000-42000, C 42000-63000
    feed(*channel, turn(20800, 4));  // D 63000-84400: 21.4 s
    EXPECT_EQ(channel->queuedCount(), 3u);

    const std::vector<std::pair<Clock::Duration, std::size_t>> attemptStarts{
        {0s, 1},   {27s, 2},  {56s, 3},  {81s, 4}, {108s, 5},
        {137s, 6}, {162s, 7}, {189s, 8}, {218s, 9}};
    for (const auto& [at, count] : attemptStarts) {
        advanceTo(at);
        ASSERT_TRUE(requestsReach(count)) << "attempt " << count;
        if (count == 3) {
            advanceTo(63s);
            feed(*channel, turn(20400, 5));  // E 84400-105400, queued at 63 s
        }
    }
    EXPECT_TRUE(backlogs.empty());
    // At 243 s C is given up; D has waited 243 s and is dropped, E exactly 180 s and is kept.
    advanceTo(243s);
    ASSERT_TRUE(test::runUntil(io, [&] { return stored.size() == 1; }));
    EXPECT_EQ(backlogs, std::vector<std::string>{std::string(backlog21)});
    EXPECT_EQ(stored[0].startedMs, 84400);
    EXPECT_EQ(uploadedSeqs(),
              (std::vector<std::int64_t>{seqOf(0), seqOf(0), seqOf(0), seqOf(21000), seqOf(21000),
                                         seqOf(21000), seqOf(42000), seqOf(42000), seqOf(42000),
                                         seqOf(84400)}));
    clock->runReady();
    EXPECT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems.back(), std::nullopt);
}

TEST_F(ChunkChannelTest, TheOldestQueuedChunksAreDroppedWhenTheQueueOutgrowsItsBytes) {
    server.enqueue(Reply::with(Reply::Action::hang));
    server.setHandler(storedSegmentFor);
    auto channel = makeChannel(defaults());
    const std::int64_t chunkBytes = 21000 * bytesPerMs + wavHeaderBytes;

    // One chunk in flight and eight queued fit the default 8 MiB; the ninth queued does not.
    feedTurns(*channel, 1, 9);
    EXPECT_TRUE(backlogs.empty());
    EXPECT_EQ(channel->queuedBytes(), 8 * chunkBytes);
    feed(*channel, turn(20400, 10));
    EXPECT_EQ(backlogs, std::vector<std::string>{std::string(backlog21)});
    EXPECT_EQ(channel->queuedCount(), 8u);
    EXPECT_EQ(channel->queuedBytes(), 8 * chunkBytes);

    // The hanging first attempt ends at the client's 30 s request limit and is retried 2 s later.
    ASSERT_TRUE(requestsReach(1));
    clock->advance(30s);
    ASSERT_TRUE(attemptsReach(1));
    clock->advance(2s);
    ASSERT_TRUE(test::runUntil(io, [&] { return stored.size() == 9; }));
    std::vector<std::int64_t> expected{seqOf(0), seqOf(0)};
    for (std::int64_t i = 2; i < 10; ++i) {
        expected.push_back(seqOf(i * 21000));  // the chunk from 21000 was dropped
    }
    EXPECT_EQ(uploadedSeqs(), expected);
}

TEST_F(ChunkChannelTest, ASingleQueuedChunkLargerThanTheBoundIsKept) {
    server.setHandler(hang);
    auto limits = defaults();
    limits.maxQueuedBytes = 1'000'000;  // less than one 21 s chunk
    auto channel = makeChannel(limits);
    feed(*channel, turn(20400, 1));
    ASSERT_TRUE(requestsReach(1));
    feed(*channel, turn(20400, 2));
    EXPECT_EQ(channel->queuedCount(), 1u);
    EXPECT_TRUE(backlogs.empty());
    feed(*channel, turn(20900, 3));
    EXPECT_EQ(channel->queuedCount(), 1u);
    EXPECT_EQ(backlogs, std::vector<std::string>{std::string(backlog21)});
    // Halves round away from zero: a 21.5 s chunk counts as 22 s.
    feed(*channel, turn(20400, 4));
    EXPECT_EQ(backlogs.back(),
              "Transcription is falling behind: 22 s of audio was dropped while uploads were slow");
}

TEST_F(ChunkChannelTest, FinishReturnsOnlyOnceEveryChunkIsUploaded) {
    server.setHandler(storedSlowly);
    auto channel = makeChannel(defaults());
    feedTurns(*channel, 1, 2);
    // Three seconds of speech without a closing pause: finish cuts it as the last chunk.
    feed(*channel, test::bytesOf(test::speechSamples(3000 * samplesPerMs, 3)));

    test::Pending<void> finishing(io, channel->finish());
    ASSERT_TRUE(finishing.finish());
    EXPECT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored.back().startedMs, 42000);
    EXPECT_EQ(stored.back().endedMs, 45000);

    // Stopped: more audio is ignored and a second finish returns at once.
    feed(*channel, turn(20400, 4));
    EXPECT_NO_THROW(test::Pending<void>(io, channel->finish()).get());
    EXPECT_FALSE(requestsReach(4, 50ms));
}

TEST_F(ChunkChannelTest, CancelReturnsAtOnceMidUploadAndReportsNothingMore) {
    server.setHandler(hang);
    auto channel = makeChannel(defaults());
    feedTurns(*channel, 1, 3);
    ASSERT_TRUE(requestsReach(1));
    test::Pending<void> finishing(io, channel->finish());
    clock->runReady();
    EXPECT_FALSE(finishing.done());

    test::Pending<void> cancelling(io, channel->cancel());
    clock->runReady();
    EXPECT_TRUE(cancelling.done());
    EXPECT_EQ(channel->queuedCount(), 0u);
    EXPECT_EQ(channel->queuedBytes(), 0);
    ASSERT_TRUE(finishing.finish(1s));

    feed(*channel, turn(20400, 4));
    clock->advance(10min);
    EXPECT_FALSE(requestsReach(2, 100ms));
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(backlogs.empty());
    EXPECT_TRUE(stored.empty());
    // The abandoned request does not keep its connection open.
    EXPECT_TRUE(server.waitForClosedConnections(2s));
}

TEST_F(ChunkChannelTest, ADroppedChannelStopsUploading) {
    server.setHandler(hang);
    auto channel = makeChannel(defaults());
    feedTurns(*channel, 1, 2);
    ASSERT_TRUE(requestsReach(1));
    channel.reset();
    clock->runReady();
    clock->advance(10min);
    EXPECT_FALSE(requestsReach(2, 100ms));
    EXPECT_TRUE(problems.empty());
}

TEST_F(ChunkChannelTest, ReplayProfileKeepsAnHourOfChunks) {
    const auto replay = ChunkChannel::Limits::replay(clock);
    EXPECT_EQ(replay.maxQueuedBytes, 15'448'576);
    EXPECT_EQ(replay.maxQueuedAge, 3600s);
    EXPECT_EQ(replay.uploadTimeout, 60s);
    EXPECT_EQ(replay.retryBase, 2s);
    EXPECT_EQ(defaults().uploadTimeout, 60s);
}

}  // namespace
}  // namespace tessarin
