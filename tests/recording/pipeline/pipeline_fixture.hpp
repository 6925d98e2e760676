#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/log/diagnostics.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "support/io_driver.hpp"
#include "support/loopback_notara.hpp"
#include "support/pending.hpp"
#include "support/scripted_capture.hpp"
#include "support/scripted_channel.hpp"

namespace tessarin::test {

using Kind = ScriptedChannel::Kind;

// A recording over scripted sources and channels, saving to the loopback stand-in, in virtual
// time.
struct PipelineFixture : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackNotara notara{io, clock};
    ScriptedCapture mic;
    ScriptedCapture system;
    ScriptedChannels channels;
    RecordingPipeline::Dependencies deps = dependencies();
    RecordingOptions options;
    std::vector<RecordingEvent> events;
    std::vector<std::string> diagnostics;
    std::shared_ptr<RecordingPipeline> pipeline;

    void SetUp() override {
        Diagnostics::setSink([this](std::string_view line) { diagnostics.emplace_back(line); });
    }
    void TearDown() override { Diagnostics::setSink({}); }

    RecordingPipeline::Dependencies dependencies() {
        RecordingPipeline::Dependencies d;
        d.clock = clock;
        d.makeMic = [this](bool, AudioSource::AudioCallback audio,
                           AudioSource::InterruptionCallback interruptions) {
            return mic.open(std::move(audio), std::move(interruptions));
        };
        d.makeSystem = [this](AudioSource::AudioCallback audio,
                              AudioSource::InterruptionCallback interruptions) {
            return system.open(std::move(audio), std::move(interruptions));
        };
        d.makeRealtime = channels.realtime();
        d.makeFallback = channels.chunks(Kind::fallback);
        return d;
    }

    std::shared_ptr<RecordingPipeline> make() {
        pipeline = RecordingPipeline::create(
            io.get_executor(), "m1", notara.client(io, clock), "en", options, deps,
            [this](const RecordingEvent& event) { events.push_back(event); });
        return pipeline;
    }

    // Runs real I/O and moves virtual time in steps until `done` holds.
    bool drive(const std::function<bool()>& done, Clock::Duration limit = std::chrono::minutes(10),
               Clock::Duration step = std::chrono::milliseconds(100)) {
        return driveUntil(io, *clock, done, limit, step, std::chrono::milliseconds(5));
    }
    template <class T>
    T await(Awaitable<T> operation, Clock::Duration step = std::chrono::milliseconds(100)) {
        Pending<T> pending(io, std::move(operation));
        EXPECT_TRUE(drive([&] { return pending.done(); }, std::chrono::minutes(10), step));
        return pending.get();
    }

    void start() {
        make();
        await(pipeline->start());
    }
    RecordingPipeline::StopResult stop() { return await(pipeline->stop()); }

    ScriptedChannel& channel(Speaker speaker, Kind kind = Kind::realtime, std::size_t nth = 0) {
        return channels.get(kind, speaker, nth);
    }
    // A finished transcript, as the speaker's live channel reports it.
    void say(Speaker speaker, std::int64_t t0, std::int64_t t1, const std::string& text) {
        channel(speaker).callbacks.segment(speaker, t0, t1, text);
        clock->runReady();
    }

    template <class T>
    std::vector<T> eventsOf() const {
        std::vector<T> found;
        for (const RecordingEvent& event : events) {
            if (const auto* value = std::get_if<T>(&event.value)) {
                found.push_back(*value);
            }
        }
        return found;
    }
    std::vector<std::string> saveProblems() const {
        std::vector<std::string> messages;
        for (const auto& event : eventsOf<RecordingEvent::SaveProblem>()) {
            messages.push_back(event.message);
        }
        return messages;
    }
    std::vector<std::string> queuedTexts() const {
        std::vector<std::string> texts;
        for (const auto& event : eventsOf<RecordingEvent::TranscriptSegment>()) {
            texts.push_back(event.segment.text);
        }
        return texts;
    }
};

}  // namespace tessarin::test
