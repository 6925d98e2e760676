#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/log/diagnostics.hpp"
#include "core/net/web_socket_realtime_socket.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "recording/realtime/transcription_channel.hpp"
#include "support/io_driver.hpp"
#include "support/loopback_notara.hpp"
#include "support/pending.hpp"
#include "support/scripted_capture.hpp"

namespace tessarin::test {

// A recording with the real channels: realtime sessions over WebSocket and chunk uploads, both to
// the loopback stand-in, in virtual time; only the capture is scripted.
struct LiveRecording {
    LiveRecording() {
        Diagnostics::setSink([this](std::string_view line) { diagnostics.emplace_back(line); });
    }
    ~LiveRecording() { Diagnostics::setSink({}); }

    std::vector<std::string> diagnostics;
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackNotara notara{io, clock};
    ScriptedCapture mic;
    ScriptedCapture system;
    std::vector<RecordingEvent> events;
    std::shared_ptr<RecordingPipeline> pipeline;

    // The wall clock the stand-in dates keys with, so that renewals fall where they would.
    std::chrono::system_clock::time_point wallNow() const {
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                clock->now().time_since_epoch()));
    }

    RecordingPipeline::Dependencies dependencies() {
        auto deps = RecordingPipeline::Dependencies::live(io.get_executor(), clock);
        deps.makeRealtime = [this](Speaker speaker, std::optional<std::string> language,
                                   RecordingPipeline::Dependencies::TokenFetch fetch,
                                   ChannelCallbacks callbacks) {
            TranscriptionChannel::Dependencies channel;
            channel.executor = io.get_executor();
            channel.clock = clock;
            channel.now = [this] { return wallNow(); };
            channel.makeSocket =
                WebSocketRealtimeSocket::factory(io.get_executor(), clock, nullptr);
            return TranscriptionChannel::create(std::move(channel), speaker, std::move(language),
                                                std::move(fetch), std::move(callbacks),
                                                std::chrono::seconds(3));
        };
        deps.makeMic = [this](bool, AudioSource::AudioCallback audio,
                              AudioSource::InterruptionCallback interruptions) {
            return mic.open(std::move(audio), std::move(interruptions));
        };
        deps.makeSystem = [this](AudioSource::AudioCallback audio,
                                 AudioSource::InterruptionCallback interruptions) {
            return system.open(std::move(audio), std::move(interruptions));
        };
        return deps;
    }

    void start(APIClient api, RecordingOptions options = {}) {
        pipeline = RecordingPipeline::create(
            io.get_executor(), "m1", std::move(api), "en", options, dependencies(),
            [this](const RecordingEvent& event) { events.push_back(event); });
        Pending<void> starting(io, pipeline->start());
        drive([&] { return starting.done(); });
        starting.get();
    }
    void start() { start(notara.client(io, clock)); }

    RecordingPipeline::StopResult stop() {
        Pending<RecordingPipeline::StopResult> stopping(io, pipeline->stop());
        drive([&] { return stopping.done(); }, std::chrono::minutes(30));
        return stopping.get();
    }

    // Real I/O, and virtual time in steps, until `done` holds.
    bool drive(const std::function<bool()>& done, Clock::Duration limit = std::chrono::minutes(5),
               Clock::Duration step = std::chrono::milliseconds(100)) {
        return driveUntil(io, *clock, done, limit, step, std::chrono::milliseconds(3));
    }
    // Plays `pcm` on both sources, then lets as much virtual time pass as it lasts.
    void play(const std::vector<std::uint8_t>& micPCM, const std::vector<std::uint8_t>& systemPCM) {
        mic.play(piecesOf(micPCM, 4800));
        system.play(piecesOf(systemPCM, 4800));
        mic.waitUntilDelivered();
        system.waitUntilDelivered();
        const auto ms = std::max(micPCM.size(), systemPCM.size()) / 48;
        for (std::size_t passed = 0; passed < ms; passed += 100) {
            // Each step also runs the I/O that has completed meanwhile.
            clock->advance(std::chrono::milliseconds(100));
        }
        settle(io, std::chrono::milliseconds(2));
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
};

}  // namespace tessarin::test
