#include <iostream>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "live_recording.hpp"
#include "recording/server/helper_auth.hpp"
#include "support/audio_signals.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

// One speaker's seeded conversation: runs of speech and pauses of random lengths, cut into
// seconds.
class Talker {
  public:
    Talker(std::uint32_t seed, int peak) : random_(seed), peak_(peak) {}

    std::vector<std::uint8_t> nextSecond() {
        std::vector<std::int16_t> samples;
        while (samples.size() < 24000) {
            if (leftMs_ == 0) {
                speaking_ = !speaking_;
                leftMs_ = speaking_ ? std::uniform_int_distribution<int>(800, 4000)(random_)
                                    : std::uniform_int_distribution<int>(800, 3000)(random_);
            }
            const int ms = std::min<int>(leftMs_, static_cast<int>((24000 - samples.size()) / 24));
            appendTo(samples, speechSamples(ms * 24, random_(), speaking_ ? peak_ : 100));
            leftMs_ -= ms;
        }
        return bytesOf(samples);
    }

  private:
    std::mt19937 random_;
    int peak_;
    bool speaking_ = false;
    int leftMs_ = 0;
};

// Twenty minutes of two people talking while everything that can fail does: the realtime
// connections drop every 30-90 s, reconnection is refused for six minutes once, three appends in
// ten fail with 503, and the access token is refused once until the app sends a new one.
// Afterwards every transcript the realtime service produced is on the web server exactly once or
// handed back, and everything held during the outages was transcribed by upload.
TEST(ZeroLoss, EveryTranscriptIsSavedOnceOrHandedBackThroughTwentyMinutesOfFaults) {
    LiveRecording recording;
    std::mt19937 random(20240501);
    recording.notara.set(
        JSONValue::object({{"seed", 7}, {"appendFaultShare", 0.3}, {"appendFaultStatus", 503}}));

    std::optional<Clock::TimePoint> tokenAskedAt;
    int tokenAsked = 0;
    auto broker = HelperAuth::create(recording.io.get_executor(), recording.clock,
                                     *URL::parse(recording.notara.url()), "dev-token", 60s, [&] {
                                         tokenAskedAt = recording.clock->now();
                                         ++tokenAsked;
                                     });
    const APIClient base = recording.notara.client(recording.io, recording.clock);
    recording.start(APIClient(broker, base.transport(), [&] { return recording.wallNow(); }));

    Talker me(1, 8000), them(2, 2500);
    int drops = 0;
    auto nextDrop = std::uniform_int_distribution<int>(30, 90)(random);
    bool updated = false;
    for (int second = 0; second < 20 * 60; ++second) {
        if (second == nextDrop) {
            recording.notara.set(JSONValue::object({{"dropNow", true}}));
            nextDrop += std::uniform_int_distribution<int>(30, 90)(random);
            ++drops;
        }
        if (second == 8 * 60) {
            recording.notara.set(
                JSONValue::object({{"refuseUpgradesMs", 6 * 60 * 1000}, {"dropNow", true}}));
        }
        if (second == 15 * 60) {
            recording.notara.set(JSONValue::object({{"accessToken", "renewed"}}));
        }
        if (tokenAskedAt && !updated && recording.clock->now() - *tokenAskedAt >= 15s) {
            updated = true;
            Task<>::spawn(recording.io.get_executor(), "token.update",
                          [broker] { return broker->update("renewed"); });
        }
        recording.play(me.nextSecond(), them.nextSecond());
    }
    const auto result = recording.stop();

    std::set<std::int64_t> queued;
    for (const auto& event : recording.eventsOf<RecordingEvent::TranscriptSegment>()) {
        if (event.segment.seq % 2 == 0) {
            EXPECT_TRUE(queued.insert(event.segment.seq).second) << "queued twice";
        }
    }
    std::set<std::int64_t> saved, replayed;
    for (const Segment& segment : recording.notara.segments("m1")) {
        (segment.seq % 2 == 0 ? saved : replayed).insert(segment.seq);
    }
    std::set<std::int64_t> handedBack;
    for (const Segment& segment : result.unsaved) {
        handedBack.insert(segment.seq);
        EXPECT_FALSE(saved.contains(segment.seq)) << "saved and handed back";
    }
    const auto& counters = recording.notara.counters();
    const auto echoes = recording.pipeline->echoCounts();
    std::cout << "zero loss: " << drops << " drops, " << counters.transcripts
              << " transcripts produced (" << counters.transcriptsSilent << " silent), "
              << queued.size() << " queued (+" << echoes.dropped << " echoes dropped), "
              << saved.size() << " saved live, " << handedBack.size() << " handed back, "
              << replayed.size() << " replayed segments saved from " << counters.chunksReceived
              << " uploaded chunks, " << counters.appendsReceived << " appends ("
              << counters.appendsFailed << " failed), " << counters.segmentsDuplicate
              << " duplicates, token asked " << tokenAsked << " time(s)\n";

    EXPECT_GE(drops, 13);
    EXPECT_TRUE(updated);
    EXPECT_EQ(tokenAsked, 1);
    EXPECT_EQ(static_cast<std::int64_t>(queued.size()) + echoes.dropped,
              counters.transcripts - counters.transcriptsSilent);
    std::set<std::int64_t> accounted = saved;
    accounted.insert(handedBack.begin(), handedBack.end());
    EXPECT_EQ(accounted, queued);
    EXPECT_EQ(counters.segmentsDuplicate, 0);
    EXPECT_EQ(static_cast<std::int64_t>(replayed.size()), counters.chunksTranscribed);
    EXPECT_GT(replayed.size(), 0u);
    EXPECT_EQ(result.finished, handedBack.empty());
    EXPECT_EQ(recording.notara.finished("m1"), result.finished);
    EXPECT_FALSE(recording.eventsOf<RecordingEvent::CatchingUp>().back().active);
}

}  // namespace
}  // namespace tessarin::test
