#include <gtest/gtest.h>

#include "live_recording.hpp"
#include "support/audio_signals.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using Event = RecordingEvent;

TEST(LiveRecording, BothSidesAreTranscribedLiveSavedOnceAndTheMeetingFinished) {
    LiveRecording recording;
    recording.start();
    recording.play(Timeline().speech(1500).quiet(2500).speech(800).quiet(1000).bytes(),
                   Timeline().quiet(1800).speech(1200).quiet(2800).bytes());
    const auto result = recording.stop();
    const auto stored = recording.notara.segments("m1");
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(result, (RecordingPipeline::StopResult{3, std::nullopt, true, {}}));
    EXPECT_TRUE(recording.notara.finished("m1"));
    EXPECT_EQ(recording.notara.counters().transcripts, 3);
    std::vector<Speaker> speakers;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        speakers.push_back(stored[i].speaker);
        EXPECT_EQ(stored[i].seq % 2, 0) << "live, not replayed";
    }
    EXPECT_EQ(speakers, (std::vector<Speaker>{Speaker::me, Speaker::them, Speaker::me}));
    EXPECT_EQ(recording.eventsOf<Event::TranscriptSegment>().size(), 3u);
    EXPECT_EQ(recording.notara.counters().segmentsDuplicate, 0);
}

TEST(LiveRecording, AnOutageIsCaughtUpThroughUploadsAndItsWordsSaved) {
    LiveRecording recording;
    recording.start();
    recording.play(Timeline().speech(1000).quiet(1000).bytes(), Timeline().quiet(2000).bytes());
    recording.notara.set(JSONValue::object({{"refuseUpgradesMs", 20000}, {"dropNow", true}}));
    for (int i = 0; i < 6; ++i) {
        recording.play(Timeline().speech(1200).quiet(1000).bytes(),
                       Timeline().quiet(1000).speech(1000).quiet(200).bytes());
    }
    // Each side's held audio is replayed once its new session is confirmed.
    ASSERT_TRUE(recording.drive(
        [&] {
            const auto catchingUp = recording.eventsOf<Event::CatchingUp>();
            return recording.notara.counters().chunksTranscribed == 2 && !catchingUp.empty() &&
                   !catchingUp.back().active;
        },
        1min));
    const auto catchingUp = recording.eventsOf<Event::CatchingUp>();
    for (std::size_t i = 0; i < catchingUp.size(); ++i) {
        EXPECT_EQ(catchingUp[i].active, i % 2 == 0);
    }
    const auto problems = recording.eventsOf<Event::TranscriptionProblem>();
    ASSERT_FALSE(problems.empty());
    EXPECT_FALSE(problems.back().message);
    const auto result = recording.stop();
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.problem, std::nullopt);
    int replayed = 0;
    for (const Segment& segment : recording.notara.segments("m1")) {
        replayed += segment.seq % 2;
    }
    EXPECT_EQ(replayed, 2);
    EXPECT_EQ(result.segments, static_cast<std::int64_t>(recording.notara.segments("m1").size()));
}

}  // namespace
}  // namespace tessarin::test
