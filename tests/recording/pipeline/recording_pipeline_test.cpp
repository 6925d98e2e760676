#include <gtest/gtest.h>

#include "core/api/api_error.hpp"
#include "core/transcript/transcript_seq.hpp"
#include "recording/pipeline/recording_aborted.hpp"
#include "support/audio_signals.hpp"
#include "support/pending.hpp"
#include "support/scripted_channel.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using Event = RecordingEvent;
using Kind = ScriptedChannel::Kind;
using Result = RecordingPipeline::StopResult;
using Texts = std::vector<std::string>;

Texts textsOf(const std::vector<Segment>& segments) {
    Texts texts;
    for (const Segment& segment : segments) {
        texts.push_back(segment.text);
    }
    return texts;
}

struct RecordingTest : testing::Test, RecordingRig {
    RecordingPipeline::Dependencies deps = dependencies();
    std::shared_ptr<RecordingPipeline> pipeline;

    void make() {
        made.clear();
        events.clear();
        pipeline = RecordingPipeline::create(
            io.get_executor(), "m1", notara.client(io, clock), "en", RecordingOptions{}, deps,
            [this](const RecordingEvent& event) { events.push_back(event); });
    }
    template <class T>
    T await(Awaitable<T> operation, Clock::Duration step = 100ms) {
        Pending<T> pending(io, std::move(operation));
        EXPECT_TRUE(drive([&] { return pending.done(); }, 10min, step));
        return pending.get();
    }
    void start(Clock::Duration step = 100ms) {
        make();
        await(pipeline->start(), step);
    }
    // Replays run on scripted channels whose finish waits for `gate` (or a cancel).
    void gateReplays(std::shared_ptr<OneShot<void>> gate) {
        deps.makeReplay = chunks(Kind::replay);
        prepare = [gate](ScriptedChannel& channel) {
            channel.finishGate = channel.kind == Kind::replay ? gate : nullptr;
        };
    }
    Texts queuedTexts() const {
        Texts texts;
        for (const auto& event : eventsOf<Event::TranscriptSegment>()) {
            texts.push_back(event.segment.text);
        }
        return texts;
    }
};

TEST_F(RecordingTest, EverySegmentIsSavedOnceInSeqOrderAndTheMeetingFinished) {
    start();
    say(Speaker::them, 500, 1500, "Hello from them");
    say(Speaker::me, 200, 900, "Hi  there ");  // held for the echo check
    say(Speaker::them, 3000, 4000, "How are you");
    EXPECT_EQ(queuedTexts(), (Texts{"Hello from them", "How are you"}));
    clock->advance(4s);
    EXPECT_EQ(queuedTexts().back(), "Hi there");
    ASSERT_TRUE(drive([&] { return pipeline->saved() == 3; }, 10s));  // the periodic save
    say(Speaker::me, 12000, 13000, "Bye");  // still held when the stop comes
    EXPECT_EQ(await(pipeline->stop()), (Result{4, std::nullopt, true, {}}));
    EXPECT_EQ(textsOf(notara.segments("m1")),
              (Texts{"Hi there", "Hello from them", "How are you", "Bye"}));
    EXPECT_EQ(notara.segments("m1")[0].seq, TranscriptSeq::make(200, Speaker::me, false));
    EXPECT_TRUE(notara.finished("m1"));
    EXPECT_TRUE(channel(Speaker::me).finished && channel(Speaker::them).finished);
    EXPECT_FALSE(mic.running());
}

// The mic records on when system audio cannot start; both sides' audio is heard in the
// recordings run through the real helper.
TEST_F(RecordingTest,
       EveryMicByteReachesItsChannelInWholeSamplesBeforeItFinishesEvenWithoutSystemAudio) {
    system.startFailure = "There's no audio output device.";
    start();
    EXPECT_EQ(eventsOf<Event::CaptureProblem>(),
              (std::vector<Event::CaptureProblem>{
                  {Speaker::them, "Not hearing the other side: There's no audio output device."}}));
    EXPECT_EQ(eventsOf<Event::Health>(),
              (std::vector<Event::Health>{{SourceHealth::ok, SourceHealth::error}}));
    const auto pcm = bytesOf(speechSamples(2400));
    mic.play({{pcm.begin(), pcm.begin() + 3},
              {},
              {pcm.begin() + 3, pcm.begin() + 4},
              {pcm.begin() + 4, pcm.begin() + 1001},
              {pcm.begin() + 1001, pcm.end()}});
    std::size_t fedWhenFinishing = 0;
    channel(Speaker::me).onFinish = [&](ScriptedChannel& me) { fedWhenFinishing = me.fed.size(); };
    await(pipeline->stop());
    EXPECT_EQ(channel(Speaker::me).fed, pcm);
    EXPECT_EQ(fedWhenFinishing, pcm.size());
}

TEST_F(RecordingTest, OnlyRealtimeBeingUnavailableMovesTheStartToUploadsAnyOtherFailureFailsIt) {
    const std::pair<std::exception_ptr, bool> cases[] = {
        {std::make_exception_ptr(APIError::server(500, {}, {})), false},
        {std::make_exception_ptr(std::runtime_error("offline")), false},
        {std::make_exception_ptr(APIError::server(403, {}, {})), true}};
    for (const auto& [failure, fallsBack] : cases) {
        prepare = [failure](ScriptedChannel& channel) {
            if (channel.kind == Kind::realtime && channel.speaker == Speaker::them) {
                channel.startFailure = failure;
            }
        };
        make();
        const int opened = mic.opened();
        Pending<void> starting(io, pipeline->start());
        ASSERT_TRUE(drive([&] { return starting.done(); }));
        EXPECT_EQ(starting.error() == nullptr, fallsBack);
        EXPECT_EQ(mic.opened() - opened, fallsBack ? 1 : 0);
        EXPECT_TRUE(channel(Speaker::me).cancelled);
        EXPECT_EQ(eventsOf<Event::Mode>().size(), fallsBack ? 1u : 0u);
    }
    // What the web server stored from an upload is reported and counted as saved.
    channel(Speaker::them, Kind::fallback)
        .callbacks.stored(Segment{6002, 1500, 2500, Speaker::them, "uploaded"});
    clock->runReady();
    EXPECT_EQ(await(pipeline->stop()).segments, 1);
}

TEST_F(RecordingTest, AnAbortDuringStartEndsItWithoutRecordingEvenOnceTheMicHasStarted) {
    for (const bool duringMicStart : {false, true}) {
        auto gate = std::make_shared<OneShot<void>>(io.get_executor());
        prepare = [=](ScriptedChannel& channel) {
            channel.startGate = duringMicStart ? nullptr : gate;
        };
        mic.startGate = duringMicStart ? gate : nullptr;
        make();
        Pending<void> starting(io, pipeline->start());
        clock->runReady();
        pipeline->abort();
        gate->resume();
        ASSERT_TRUE(drive([&] { return starting.done(); }));
        EXPECT_TRUE(failure<RecordingAborted>(starting)) << duringMicStart;
        EXPECT_FALSE(pipeline->isRunning() || mic.running()) << duringMicStart;
        EXPECT_TRUE(channel(Speaker::me).cancelled);
    }
}

TEST_F(RecordingTest, HeldMicSegmentsWaitWhileTheOtherSideIsDownOrCatchingUp) {
    auto replayGate = std::make_shared<OneShot<void>>(io.get_executor());
    gateReplays(replayGate);
    start();
    ScriptedChannel& them = channel(Speaker::them);
    them.callbacks.problem(Speaker::them, "Connection lost");
    say(Speaker::me, 1000, 2000, "held while they are down");
    clock->advance(10s);
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
    EXPECT_EQ(queuedTexts(), (Texts{"held while they are down", "said later"}));
    EXPECT_EQ(pipeline->echoCounts(), (RecordingPipeline::EchoCounts{1, 0}));
    EXPECT_EQ(eventsOf<Event::CatchingUp>(), (std::vector<Event::CatchingUp>{{true}, {false}}));
}

TEST_F(RecordingTest, AFailedSaveIsRetriedTwiceAtTheStopOnlyWhenTransientThenHandedBackInSeqOrder) {
    const std::string transient =
        "Some of the transcript couldn't be saved: The stand-in failed on purpose.";
    const std::string refused = "Notara refused 2 transcript segment(s)";
    // status, append attempts at the stop, how long the stop takes (its settle included)
    const std::tuple<int, int, int, std::string, std::string> cases[] = {
        {503, 3, 4300, transient, transient},
        {422, 0, 300, refused + ": The stand-in refused on purpose.", refused + "."}};
    for (const auto& [status, stopAttempts, stopMs, saveProblem, stopProblem] : cases) {
        start();
        notara.set(JSONValue::object({{"appendFaultShare", 1.0}, {"appendFaultStatus", status}}));
        say(Speaker::them, 5000, 6000, "later");
        say(Speaker::them, 1000, 2000, "earlier");
        // A periodic save makes one attempt.
        ASSERT_TRUE(drive([&] { return !eventsOf<Event::SaveProblem>().empty(); }, 11s, 1s));
        EXPECT_EQ(eventsOf<Event::SaveProblem>(), std::vector<Event::SaveProblem>{{saveProblem}});
        const auto before = notara.counters();
        const auto began = clock->now();
        const auto result = await(pipeline->stop(), 250ms);
        EXPECT_EQ(notara.counters().appendsReceived - before.appendsReceived, stopAttempts);
        // Seen at the first 250 ms step after it ends.
        EXPECT_NEAR((clock->now() - began) / 1ms, stopMs, 250) << status;
        EXPECT_EQ(result.problem, stopProblem);
        EXPECT_FALSE(result.finished);
        EXPECT_EQ(textsOf(result.unsaved), (Texts{"earlier", "later"}));
        EXPECT_EQ(notara.counters().finishes, before.finishes);
    }
}

TEST_F(RecordingTest, AFailedFinishIsTheStopProblem) {
    start();
    notara.set(JSONValue::object({{"delayMs", 40000}}));
    const auto result = await(pipeline->stop(), 1s);
    EXPECT_FALSE(result.finished);
    EXPECT_TRUE(result.problem.value_or("").starts_with(
        "The recording stopped, but Notara couldn't be told to write notes: "));
}

TEST_F(RecordingTest, AStopWithATimeLimitCutsReplaysShortAndHandsBackWhatItCouldNotSave) {
    gateReplays(std::make_shared<OneShot<void>>(io.get_executor()));
    start();
    say(Speaker::them, 0, 1000, "kept");
    channel(Speaker::them).callbacks.catchUp(Speaker::them, {0, 1}, 0);
    notara.set(JSONValue::object({{"delayMs", 60000}}));
    const auto began = clock->now();
    const auto result = await(pipeline->stop(40s), 1s);
    EXPECT_LE(clock->now() - began, 40s);
    EXPECT_TRUE(channel(Speaker::them, Kind::replay).cancelled);
    EXPECT_EQ(result, (Result{0,
                              "Some of the transcript couldn't be saved: The helper had to exit "
                              "before Notara answered.",
                              false,
                              {Segment{TranscriptSeq::make(0, Speaker::them, false), 0, 1000,
                                       Speaker::them, "kept"}}}));
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
    EXPECT_EQ(await(pipeline->stop()), (Result{3, std::nullopt, true, {}}));
    // After the stop nothing is replayed, and that is said.
    channel(Speaker::me).callbacks.catchUp(Speaker::me, speech, 0);
    clock->runReady();
    EXPECT_EQ(notara.counters().chunksReceived, 3);
    ASSERT_FALSE(diagnostics.empty());
    EXPECT_EQ(diagnostics.back(),
              "audio held during an outage arrived after the recording ended "
              "(1000 ms): not transcribed");
}

TEST_F(RecordingTest, TheStopNamesReplaysThatFailedOrOutlastedTheirBudget) {
    const std::tuple<int, bool, std::string> cases[] = {
        {1, false, "Some audio from a reconnect couldn't be transcribed (1 stretch)."},
        {2, false, "Some audio from a reconnect couldn't be transcribed (2 stretches)."},
        {0, true,
         "The recording stopped before all the audio from a reconnect was transcribed (it took "
         "over 5 minutes)."}};
    for (const auto& [failures, outlasting, problem] : cases) {
        gateReplays(outlasting ? std::make_shared<OneShot<void>>(io.get_executor()) : nullptr);
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
        Pending<Result> stopping(io, pipeline->stop());
        // Long steps up to the replays' budget, then short ones for the real finish request.
        drive([&] { return stopping.done(); }, outlasting ? 290s : 0s, 10s);
        ASSERT_TRUE(drive([&] { return stopping.done(); }, 1min, 250ms));
        EXPECT_EQ(stopping.get().problem, problem);
        EXPECT_EQ(clock->now() - began >= 300s, outlasting);
        EXPECT_EQ(eventsOf<Event::CatchUpProblem>().size(), static_cast<std::size_t>(failures));
    }
}

TEST_F(RecordingTest, LevelsComeEveryTickAndHealthOnlyWhenItChanges) {
    start(1ms);  // in millisecond steps, so the timeline below counts from the start
    const auto signal = [&] { mic.play({bytesOf(std::vector<std::int16_t>(2400, 3277))}); };
    system.play({bytesOf({0, 1, -1, 0})});  // the dither of an idle device is no signal
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
    for (const auto& message : {std::optional<std::string>("The microphone was unplugged."),
                                std::optional<std::string>()}) {
        mic.interrupt(message);
        clock->runReady();
    }
    using enum SourceHealth;
    EXPECT_EQ(eventsOf<Event::Health>(),
              (std::vector<Event::Health>{
                  {ok, silent}, {silent, silent}, {ok, silent}, {error, silent}, {ok, silent}}));
    EXPECT_EQ(eventsOf<Event::CaptureProblem>(),
              (std::vector<Event::CaptureProblem>{{Speaker::me, "The microphone was unplugged."},
                                                  {Speaker::me, std::nullopt}}));
    EXPECT_EQ(eventsOf<Event::Levels>().size(), 52u);
}

}  // namespace
}  // namespace tessarin::test
