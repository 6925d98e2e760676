#include <gtest/gtest.h>

#include "live_recording.hpp"
#include "support/audio_signals.hpp"

namespace tessarin::test {
namespace {

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

}  // namespace
}  // namespace tessarin::test
