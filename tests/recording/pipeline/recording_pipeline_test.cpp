#include <algorithm>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/api_error.hpp"
#include "core/http/url.hpp"
#include "core/transcript/transcript_seq.hpp"
#include "pipeline_fixture.hpp"
#include "recording/pipeline/recording_aborted.hpp"
#include "support/audio_signals.hpp"
#include "support/loopback_http_server.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using Event = RecordingEvent;
using RecordingTest = PipelineFixture;

std::vector<std::string> textsOf(const std::vector<Segment>& segments) {
    std::vector<std::string> texts;
    for (const Segment& segment : segments) {
        texts.push_back(segment.text);
    }
    return texts;
}

TEST_F(RecordingTest, EverySegmentIsSavedOnceInSeqOrderAndTheMeetingFinished) {
    start();
    say(Speaker::them, 500, 1500, "Hello from them");
    say(Speaker::me, 200, 900, "Hi  there ");
    say(Speaker::them, 3000, 4000, "How are you");
    // The user's segment is held for the echo check, the other side's pass at once.
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"Hello from them", "How are you"}));
    clock->advance(4s);
    EXPECT_EQ(queuedTexts().back(), "Hi there");
    // The periodic save takes everything queued.
    ASSERT_TRUE(drive([&] { return pipeline->saved() == 3; }, 10s));
    EXPECT_EQ(notara.segments("m1").size(), 3u);

    say(Speaker::them, 12000, 13000, "Bye");
    const auto result = stop();
    EXPECT_EQ(result, (RecordingPipeline::StopResult{4, std::nullopt, true, {}}));
    EXPECT_EQ(textsOf(notara.segments("m1")),
              (std::vector<std::string>{"Hi there", "Hello from them", "How are you", "Bye"}));
    EXPECT_EQ(notara.segments("m1")[0].seq, 800);  // 200 ms, speaker me, live
    EXPECT_TRUE(notara.finished("m1"));
    EXPECT_EQ(notara.counters().segmentsDuplicate, 0);
    EXPECT_EQ(eventsOf<Event::TranscriptSegment>().size(), 4u);
    for (const Speaker speaker : {Speaker::me, Speaker::them}) {
        EXPECT_TRUE(channel(speaker).finished);
    }
    EXPECT_FALSE(mic.running());
}

TEST_F(RecordingTest, EveryCapturedByteReachesItsChannelInWholeSamplesBeforeTheChannelFinishes) {
    start();
    const auto pcm = bytesOf(speechSamples(2400));
    // Odd sizes, an empty buffer, a lone byte: the stream stays aligned on samples.
    std::vector<std::vector<std::uint8_t>> buffers{{pcm.begin(), pcm.begin() + 3},
                                                   {},
                                                   {pcm.begin() + 3, pcm.begin() + 4},
                                                   {pcm.begin() + 4, pcm.begin() + 1001},
                                                   {pcm.begin() + 1001, pcm.end()}};
    mic.play(buffers);
    system.play(piecesOf(pcm, 480));
    mic.waitUntilDelivered();
    system.waitUntilDelivered();
    std::size_t fedWhenFinishing = 0;
    channel(Speaker::me).onFinish = [&](ScriptedChannel& me) { fedWhenFinishing = me.fed.size(); };
    stop();
    EXPECT_EQ(channel(Speaker::me).fed, pcm);
    EXPECT_EQ(fedWhenFinishing, pcm.size());
    EXPECT_EQ(channel(Speaker::them).fed, pcm);
}

TEST_F(RecordingTest, RealtimeUnavailableAtStartMovesBothSpeakersToUploadsWithOneModeEvent) {
    // 403 means realtime can't be used; any other failure fails the start.
    channels.prepare = [](ScriptedChannel& channel) {
        if (channel.kind == Kind::realtime && channel.speaker == Speaker::them) {
            channel.startFailure = std::make_exception_ptr(APIError::server(403, {}, {}));
        }
    };
    start();
    EXPECT_EQ(pipeline->mode(), RecordingMode::fallback);
    EXPECT_EQ(eventsOf<Event::Mode>(), (std::vector<Event::Mode>{{RecordingMode::fallback}}));
    for (const Speaker speaker : {Speaker::me, Speaker::them}) {
        EXPECT_TRUE(channel(speaker).cancelled);
        ScriptedChannel& fallback = channel(speaker, Kind::fallback);
        EXPECT_TRUE(fallback.started);
        EXPECT_EQ(fallback.offsetMs, 0);
        EXPECT_EQ(fallback.seqFor(1500), TranscriptSeq::make(1500, speaker, false));
    }
    // The web server's stored segments are reported and counted as saved.
    channel(Speaker::them, Kind::fallback)
        .callbacks.stored(Segment{6002, 1500, 2500, Speaker::them, "uploaded"});
    clock->runReady();
    EXPECT_EQ(queuedTexts(), std::vector<std::string>{"uploaded"});
    EXPECT_EQ(stop().segments, 1);
}

TEST_F(RecordingTest, AStartThatFailsOtherwiseLeavesNothingRunning) {
    const std::exception_ptr failures[] = {std::make_exception_ptr(APIError::server(500, {}, {})),
                                           std::make_exception_ptr(std::runtime_error("offline"))};
    for (const auto& failure : failures) {
        channels.made.clear();
        channels.prepare = [failure](ScriptedChannel& channel) {
            if (channel.speaker == Speaker::me) {
                channel.startFailure = failure;
            }
        };
        make();
        Pending<void> starting(io, pipeline->start());
        ASSERT_TRUE(drive([&] { return starting.done(); }));
        EXPECT_TRUE(starting.error());
        EXPECT_EQ(channels.count(Kind::fallback), 0u);
        EXPECT_TRUE(channel(Speaker::them).cancelled);
        EXPECT_EQ(mic.opened(), 0);
        EXPECT_FALSE(pipeline->isRunning());
    }
}

TEST_F(RecordingTest, AnAbortDuringStartEndsItWithoutRecordingEvenOnceTheMicHasStarted) {
    for (const bool duringMicStart : {false, true}) {
        auto gate = std::make_shared<OneShot<void>>(io.get_executor());
        channels.made.clear();
        channels.prepare = [&](ScriptedChannel& channel) {
            if (!duringMicStart) {
                channel.startGate = gate;
            }
        };
        mic.startGate = duringMicStart ? gate : nullptr;
        make();
        Pending<void> starting(io, pipeline->start());
        clock->runReady();
        pipeline->abort();
        gate->resume();
        ASSERT_TRUE(drive([&] { return starting.done(); }));
        EXPECT_TRUE(failure<RecordingAborted>(starting)) << duringMicStart;
        EXPECT_FALSE(pipeline->isRunning());
        EXPECT_FALSE(mic.running()) << duringMicStart;
        EXPECT_TRUE(channel(Speaker::me).cancelled);
    }
}

TEST_F(RecordingTest, ASystemAudioFailureIsReportedAndTheMicKeepsRecording) {
    system.startFailure = "There's no audio output device.";
    start();
    EXPECT_TRUE(pipeline->isRunning());
    EXPECT_EQ(eventsOf<Event::CaptureProblem>(),
              (std::vector<Event::CaptureProblem>{
                  {Speaker::them, "Not hearing the other side: There's no audio output device."}}));
    EXPECT_EQ(eventsOf<Event::Health>(),
              (std::vector<Event::Health>{{SourceHealth::ok, SourceHealth::error}}));
    mic.play({bytesOf(speechSamples(480))});
    mic.waitUntilDelivered();
    stop();
    EXPECT_EQ(channel(Speaker::me).fed.size(), 960u);
}

TEST_F(RecordingTest, HeldMicSegmentsWaitWhileTheOtherSideIsDownOrCatchingUp) {
    auto replayGate = std::make_shared<OneShot<void>>(io.get_executor());
    deps.makeReplay = channels.chunks(Kind::replay);
    channels.prepare = [&](ScriptedChannel& channel) {
        if (channel.kind == Kind::replay) {
            channel.finishGate = replayGate;
        }
    };
    start();
    ScriptedChannel& them = channel(Speaker::them);
    them.callbacks.problem(Speaker::them, "Connection lost");
    say(Speaker::me, 1000, 2000, "held while they are down");
    clock->advance(10s);
    // A new segment arriving meanwhile releases nothing either.
    say(Speaker::me, 9000, 9500, "said later");
    EXPECT_TRUE(queuedTexts().empty());
    them.callbacks.catchUp(Speaker::them, bytesOf(speechSamples(24000)), 1000);
    them.callbacks.problem(Speaker::them, std::nullopt);
    clock->advance(1s);
    EXPECT_TRUE(queuedTexts().empty());  // catching up
    // The replayed side's words are compared with the user's held ones.
    channel(Speaker::them, Kind::replay)
        .callbacks.stored(Segment{4003, 1000, 2000, Speaker::them, "held while they are down"});
    replayGate->resume();
    ASSERT_TRUE(drive([&] { return queuedTexts().size() == 2; }, 4s));
    // The first was only the echo of their words.
    EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"held while they are down", "said later"}));
    EXPECT_EQ(pipeline->echoCounts(), (RecordingPipeline::EchoCounts{1, 0}));
    EXPECT_EQ(eventsOf<Event::CatchingUp>(), (std::vector<Event::CatchingUp>{{true}, {false}}));
}

TEST_F(RecordingTest, WithoutEchoDedupeSegmentsAreQueuedAtOnce) {
    options.dedupeEcho = false;
    start();
    say(Speaker::me, 0, 500, "mine");
    EXPECT_EQ(queuedTexts(), std::vector<std::string>{"mine"});
    EXPECT_EQ(pipeline->echoCounts(), (RecordingPipeline::EchoCounts{0, 0}));
}

TEST_F(RecordingTest, ATransientSaveFailureIsRetriedTwiceAtTheEndThenHandedBack) {
    start();
    notara.set(JSONValue::object({{"appendFaultShare", 1.0}, {"appendFaultStatus", 503}}));
    say(Speaker::them, 0, 1000, "one");
    // A periodic save makes one attempt and keeps the segment queued.
    ASSERT_TRUE(drive([&] { return notara.counters().appendsReceived == 1; }, 11s));
    clock->advance(1s);
    EXPECT_EQ(saveProblems(),
              (std::vector<std::string>{
                  {"Some of the transcript couldn't be saved: The stand-in failed on purpose."}}));
    const auto appendsBefore = notara.counters().appendsReceived;
    Pending<RecordingPipeline::StopResult> stopping(io, pipeline->stop());
    std::vector<Clock::TimePoint> attempts;
    std::int64_t seen = appendsBefore;
    ASSERT_TRUE(drive(
        [&] {
            if (notara.counters().appendsReceived > seen) {
                seen = notara.counters().appendsReceived;
                attempts.push_back(clock->now());
            }
            return stopping.done();
        },
        1min, 50ms));
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[1] - attempts[0], 2s);
    EXPECT_EQ(attempts[2] - attempts[1], 2s);
    const auto result = stopping.get();
    EXPECT_EQ(result.problem,
              "Some of the transcript couldn't be saved: The stand-in failed on purpose.");
    EXPECT_FALSE(result.finished);
    EXPECT_EQ(textsOf(result.unsaved), std::vector<std::string>{"one"});
    EXPECT_EQ(notara.counters().finishes, 0);
}

TEST_F(RecordingTest, ARefusedBatchIsSetAsideNotRetriedAndHandedBackInSeqOrder) {
    start();
    say(Speaker::them, 5000, 6000, "later");
    say(Speaker::them, 1000, 2000, "earlier");
    notara.set(JSONValue::object({{"appendFaultShare", 1.0}, {"appendFaultStatus", 422}}));
    const auto result = stop();
    EXPECT_EQ(notara.counters().appendsReceived, 1);
    EXPECT_EQ(saveProblems(),
              (std::vector<std::string>{
                  {"Notara refused 2 transcript segment(s): The stand-in refused on purpose."}}));
    EXPECT_EQ(result.problem, "Notara refused 2 transcript segment(s).");
    EXPECT_FALSE(result.finished);
    EXPECT_EQ(textsOf(result.unsaved), (std::vector<std::string>{"earlier", "later"}));
    EXPECT_EQ(notara.counters().finishes, 0);
}

TEST_F(RecordingTest, GarbageAnswersToAppendsLoseNothing) {
    using Reply = LoopbackHTTPServer::Reply;
    const std::string transient = "Some of the transcript couldn't be saved: ";
    const std::tuple<Reply, int, std::optional<std::string>> cases[] = {
        {Reply::with(Reply::Action::raw, "SMTP ready\r\n\r\n"), 3, std::nullopt},
        {Reply{500, {{"Content-Type", "text/html"}}, "<h1>oops"}, 3,
         transient + "Notara answered HTTP 500."},
        {Reply::json(400, "{\"error\":"), 1, "Notara refused 1 transcript segment(s)."},
        {Reply{200, {{"Content-Type", "text/html"}}, "\x01\xff"}, 1, std::nullopt},
    };
    for (const auto& [reply, attempts, problem] : cases) {
        LoopbackHTTPServer web;
        web.setHandler([reply](const LoopbackHTTPServer::Request&) { return reply; });
        const APIClient api(
            std::make_shared<AccessTokenAuthProvider>(*URL::parse(web.baseURL()), "t"),
            notara.client(io, clock).transport());
        channels.made.clear();
        pipeline = RecordingPipeline::create(io.get_executor(), "m1", api, "en", options, deps,
                                             [](const RecordingEvent&) {});
        await(pipeline->start());
        say(Speaker::them, 0, 1000, "kept");
        const auto result = stop();
        const auto requests = web.requests();
        const bool saved = result.unsaved.empty();
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(attempts) + (saved ? 1 : 0));
        EXPECT_EQ(result.segments + result.unsaved.size(), 1u) << requests[0].target;
        EXPECT_EQ(result.finished, saved);
        if (problem) {
            EXPECT_EQ(result.problem, problem);
        } else if (!saved) {
            EXPECT_EQ(result.problem.value_or("").rfind(transient, 0), 0u);
        }
    }
}

TEST_F(RecordingTest, AFailedFinishIsTheStopProblem) {
    start();
    notara.set(JSONValue::object({{"delayMs", 40000}}));
    const auto result = stop();
    EXPECT_FALSE(result.finished);
    ASSERT_TRUE(result.problem);
    EXPECT_EQ(result.problem->rfind(
                  "The recording stopped, but Notara couldn't be told to write notes: ", 0),
              0u);
}

TEST_F(RecordingTest, OutageAudioIsReplayedThroughUploadsWhileCatchingUpIsReportedOnce) {
    start();
    const auto speech = bytesOf(speechSamples(24000));
    channel(Speaker::me).callbacks.catchUp(Speaker::me, speech, 60000);
    channel(Speaker::them).callbacks.catchUp(Speaker::them, speech, 61000);
    ASSERT_TRUE(drive([&] { return eventsOf<Event::CatchingUp>().size() == 2; }, 2min));
    EXPECT_EQ(eventsOf<Event::CatchingUp>(), (std::vector<Event::CatchingUp>{{true}, {false}}));
    std::vector<std::int64_t> seqs;
    for (const Segment& segment : notara.segments("m1")) {
        seqs.push_back(segment.seq);
    }
    EXPECT_EQ(seqs, (std::vector<std::int64_t>{TranscriptSeq::make(60000, Speaker::me, true),
                                               TranscriptSeq::make(61000, Speaker::them, true)}));
    EXPECT_EQ(pipeline->saved(), 2);

    // Handed back while the stop finishes the channels: replayed, and waited for.
    channel(Speaker::them).onFinish = [&](ScriptedChannel& them) {
        them.callbacks.catchUp(Speaker::them, speech, 90000);
    };
    const auto result = stop();
    EXPECT_EQ(result, (RecordingPipeline::StopResult{3, std::nullopt, true, {}}));
    EXPECT_EQ(notara.segments("m1").size(), 3u);
    // After the stop nothing is replayed, and that is said.
    channel(Speaker::me).callbacks.catchUp(Speaker::me, speech, 0);
    clock->runReady();
    EXPECT_EQ(notara.counters().chunksReceived, 3);
    ASSERT_FALSE(diagnostics.empty());
    EXPECT_EQ(diagnostics.back(),
              "audio held during an outage arrived after the recording ended (1000 ms): not "
              "transcribed");
}

TEST_F(RecordingTest, TheStopNamesReplaysThatFailedOrOutlastedTheirBudget) {
    const std::tuple<int, bool, std::string> cases[] = {
        {1, false, "Some audio from a reconnect couldn't be transcribed (1 stretch)."},
        {2, false, "Some audio from a reconnect couldn't be transcribed (2 stretches)."},
        {0, true,
         "The recording stopped before all the audio from a reconnect was transcribed (it took "
         "over 5 minutes)."}};
    for (const auto& [failures, outlasting, problem] : cases) {
        channels.made.clear();
        deps.makeReplay = channels.chunks(Kind::replay);
        channels.prepare = [&, outlasting = outlasting](ScriptedChannel& channel) {
            if (channel.kind == Kind::replay && outlasting) {
                channel.finishGate = std::make_shared<OneShot<void>>(io.get_executor());
            }
        };
        start();
        for (int i = 0; i < std::max(failures, 1); ++i) {
            channel(Speaker::me).callbacks.catchUp(Speaker::me, {0, 1}, 1000 * i);
            clock->runReady();
            auto& replay = channel(Speaker::me, Kind::replay, i);
            if (i < failures) {
                replay.callbacks.problem(Speaker::me, "lost");
                replay.callbacks.problem(Speaker::me, std::nullopt);  // not a failure
            }
        }
        const auto began = clock->now();
        const auto result = await(pipeline->stop(), 10s);
        EXPECT_EQ(result.problem, problem);
        EXPECT_EQ(clock->now() - began >= 300s, outlasting);
        EXPECT_EQ(eventsOf<Event::CatchUpProblem>().size(), static_cast<std::size_t>(failures));
        events.clear();
    }
}

TEST_F(RecordingTest, LevelsComeEveryTickAndHealthOnlyWhenItChanges) {
    start();
    const std::vector<std::int16_t> tenthOfFullScale(2400, 3277);
    const auto signal = [&] {
        mic.play({bytesOf(tenthOfFullScale)});
        mic.waitUntilDelivered();
    };
    // Digital silence and the -1/0/1 dither of an idle device are not signal.
    system.play({bytesOf({0, 1, -1, 0})});
    system.waitUntilDelivered();
    signal();
    clock->advance(100ms);
    const auto first = eventsOf<Event::Levels>();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NEAR(first[0].mic, 0.667, 0.001);
    EXPECT_EQ(first[0].system, 0.0);
    clock->advance(4800ms);
    EXPECT_TRUE(eventsOf<Event::Health>().empty());
    clock->advance(100ms);  // 5 s without signal from the other side
    clock->advance(100ms);  // and from the mic, whose signal counted from the first tick
    signal();
    clock->advance(100ms);
    mic.interrupt("The microphone was unplugged.");
    mic.waitUntilDelivered();
    clock->runReady();
    mic.interrupt(std::nullopt);
    mic.waitUntilDelivered();
    clock->runReady();
    using enum SourceHealth;
    EXPECT_EQ(eventsOf<Event::Health>(),
              (std::vector<Event::Health>{
                  {ok, silent}, {silent, silent}, {ok, silent}, {error, silent}, {ok, silent}}));
    EXPECT_EQ(eventsOf<Event::CaptureProblem>(),
              (std::vector<Event::CaptureProblem>{{Speaker::me, "The microphone was unplugged."},
                                                  {Speaker::me, std::nullopt}}));
    EXPECT_EQ(eventsOf<Event::Levels>().size(), 52u);
}

TEST_F(RecordingTest, AStopWithATimeLimitHandsBackWhatItCouldNotSaveInTime) {
    deps.makeReplay = channels.chunks(Kind::replay);
    channels.prepare = [&](ScriptedChannel& channel) {
        if (channel.kind == Kind::replay) {
            channel.finishGate = std::make_shared<OneShot<void>>(io.get_executor());
        }
    };
    start();
    say(Speaker::them, 0, 1000, "kept");
    channel(Speaker::them).callbacks.catchUp(Speaker::them, {0, 1}, 0);
    notara.set(JSONValue::object({{"delayMs", 60000}}));
    const auto began = clock->now();
    const auto result = await(pipeline->stop(40s), 1s);
    EXPECT_LE(clock->now() - began, 40s);
    EXPECT_TRUE(channel(Speaker::them, Kind::replay).cancelled);
    EXPECT_EQ(textsOf(result.unsaved), std::vector<std::string>{"kept"});
    EXPECT_FALSE(result.finished);
    EXPECT_EQ(result.problem,
              "Some of the transcript couldn't be saved: The helper had to exit before Notara "
              "answered.");
}

TEST_F(RecordingTest, StopWithoutARunningRecordingMakesNoCall) {
    make();
    EXPECT_EQ(stop(), (RecordingPipeline::StopResult{0, std::nullopt, true, {}}));
    EXPECT_EQ(notara.counters().requests, 0);
}

}  // namespace
}  // namespace tessarin::test
