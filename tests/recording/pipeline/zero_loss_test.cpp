#include <set>

#include <gtest/gtest.h>

#include "core/net/web_socket_realtime_socket.hpp"
#include "recording/realtime/transcription_channel.hpp"
#include "support/audio_signals.hpp"
#include "support/io_driver.hpp"
#include "support/pending.hpp"
#include "support/scripted_channel.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

// Five minutes of two people talking over the real realtime and upload channels while everything
// that can fail does: the realtime connections drop every 37 s while audio is being fed,
// reconnection is refused for ninety seconds once, and three appends in ten fail with 503.
// Afterwards every transcript the realtime service produced is on the web server exactly once or
// handed back, and everything held during the outages was transcribed by upload.
TEST(ZeroLoss, EveryTranscriptIsSavedOnceOrHandedBackThroughFiveMinutesOfFaults) {
    RecordingRig rig;
    const auto wallNow = [clock = rig.clock] {  // the stand-in dates keys with this clock
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                clock->now().time_since_epoch()));
    };
    auto deps = RecordingPipeline::Dependencies::live(rig.io.get_executor(), rig.clock);
    deps.makeMic = rig.dependencies().makeMic;
    deps.makeSystem = rig.dependencies().makeSystem;
    deps.makeRealtime = [&](Speaker speaker, std::optional<std::string> language,
                            RecordingPipeline::Dependencies::TokenFetch fetch,
                            ChannelCallbacks callbacks) {
        TranscriptionChannel::Dependencies channel{
            rig.io.get_executor(), rig.clock, wallNow,
            WebSocketRealtimeSocket::factory(rig.io.get_executor(), rig.clock, nullptr)};
        return TranscriptionChannel::create(std::move(channel), speaker, std::move(language),
                                            std::move(fetch), std::move(callbacks), 3s);
    };
    rig.notara.set(
        JSONValue::object({{"seed", 7}, {"appendFaultShare", 0.3}, {"appendFaultStatus", 503}}));
    const APIClient base = rig.notara.client(rig.io, rig.clock);
    const APIClient api(base.auth(), base.transport(), wallNow);
    auto pipeline = RecordingPipeline::create(
        rig.io.get_executor(), "m1", api, "en", RecordingOptions{}, deps,
        [&](const RecordingEvent& event) { rig.events.push_back(event); });
    Pending<void> starting(rig.io, pipeline->start());
    ASSERT_TRUE(rig.drive([&] { return starting.done(); }, 5min));
    starting.get();

    // Each speaker's second: speech (the user louder) or quiet, in turns of two and three seconds.
    const auto talk = [](int second, int turn, int peak) {
        return piecesOf(bytesOf(speechSamples(24000, second, second / turn % 2 ? peak : 100)),
                        4800);
    };
    for (int second = 0; second < 5 * 60; ++second) {
        if (second % 37 == 20) {
            rig.notara.set(JSONValue::object({{"dropNow", true}}));
        }
        if (second == 100) {
            rig.notara.set(JSONValue::object({{"refuseUpgradesMs", 90000}, {"dropNow", true}}));
        }
        // A second of audio on both sources, then as much virtual time, each step also running
        // the I/O that has completed meanwhile.
        rig.mic.play(talk(second, 3, 8000));
        rig.system.play(talk(second, 2, 2500));
        rig.mic.waitUntilDelivered();
        rig.system.waitUntilDelivered();
        for (int step = 0; step < 10; ++step) {
            rig.clock->advance(100ms);
        }
        settle(rig.io, 2ms);
    }
    Pending<RecordingPipeline::StopResult> stopping(rig.io, pipeline->stop());
    ASSERT_TRUE(rig.drive([&] { return stopping.done(); }, 30min));
    const auto result = stopping.get();

    std::set<std::int64_t> queued, saved, replayed;
    for (const auto& event : rig.eventsOf<RecordingEvent::TranscriptSegment>()) {
        if (event.segment.seq % 2 == 0) {
            EXPECT_TRUE(queued.insert(event.segment.seq).second) << "queued twice";
        }
    }
    for (const Segment& segment : rig.notara.segments("m1")) {
        (segment.seq % 2 == 0 ? saved : replayed).insert(segment.seq);
    }
    std::set<std::int64_t> accounted = saved;
    for (const Segment& segment : result.unsaved) {
        EXPECT_TRUE(accounted.insert(segment.seq).second) << "saved and handed back";
    }
    const auto& counters = rig.notara.counters();
    const auto echoes = pipeline->echoCounts();
    EXPECT_EQ(static_cast<std::int64_t>(queued.size()) + echoes.dropped,
              counters.transcripts - counters.transcriptsSilent);
    EXPECT_EQ(accounted, queued);
    EXPECT_EQ(counters.segmentsDuplicate, 0);
    EXPECT_EQ(static_cast<std::int64_t>(replayed.size()), counters.chunksTranscribed);
    EXPECT_GT(replayed.size(), 0u);
    EXPECT_GT(counters.appendsFailed, 0);
    EXPECT_EQ(result.finished, result.unsaved.empty());
    EXPECT_EQ(rig.notara.finished("m1"), result.finished);
    EXPECT_FALSE(rig.eventsOf<RecordingEvent::CatchingUp>().back().active);
}

}  // namespace
}  // namespace tessarin::test
