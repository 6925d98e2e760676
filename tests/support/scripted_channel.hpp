#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/one_shot.hpp"
#include "recording/channels/speaker_channel.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "support/loopback_notara.hpp"
#include "support/scripted_capture.hpp"

namespace tessarin::test {

// A speaker channel the test scripts and inspects: it keeps what it was fed and what it was told,
// and its callbacks are there for the test to report through.
struct ScriptedChannel final : SpeakerChannel {
    enum class Kind { realtime, fallback, replay };

    ScriptedChannel(Kind kind, Speaker speaker, ChannelCallbacks callbacks)
        : kind(kind), speaker(speaker), callbacks(callbacks) {}

    Awaitable<void> start() override {
        if (const auto gate = startGate) {
            co_await gate->wait();
        }
        if (startFailure) {
            std::rethrow_exception(startFailure);
        }
    }
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override {
        if (!finished && !cancelled) {
            fed.insert(fed.end(), pcm.begin(), pcm.end());
        }
        co_return;
    }
    Awaitable<void> finish() override {
        finished = true;
        if (onFinish) {
            onFinish(*this);
        }
        if (const auto gate = finishGate) {
            co_await gate->wait();
        }
    }
    Awaitable<void> cancel() override {
        cancelled = true;
        for (const auto& gate : {startGate, finishGate}) {
            if (gate) {
                gate->resume();
            }
        }
        co_return;
    }

    // The script. While a gate is set and not resumed, start (or finish) waits for it; cancel
    // resumes both. `onFinish` runs when finish begins (report a last transcript, hand back audio).
    std::exception_ptr startFailure;
    std::shared_ptr<OneShot<void>> startGate;
    std::shared_ptr<OneShot<void>> finishGate;
    std::function<void(ScriptedChannel&)> onFinish;

    // What happened.
    const Kind kind;
    const Speaker speaker;
    const ChannelCallbacks callbacks;
    std::vector<std::uint8_t> fed;
    bool finished = false;
    bool cancelled = false;
};

// What recording tests share: a real io_context with virtual time, the loopback stand-in, scripted
// sources, channel factories that make scripted channels (scripted by `prepare`, kept in `made`),
// and the diagnostics and recording events written meanwhile.
struct RecordingRig {
    using Kind = ScriptedChannel::Kind;

    RecordingRig();
    ~RecordingRig();

    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackNotara notara{io, clock};
    ScriptedCapture mic;
    ScriptedCapture system;
    std::vector<std::shared_ptr<ScriptedChannel>> made;
    std::function<void(ScriptedChannel&)> prepare;
    std::vector<std::string> diagnostics;
    std::vector<RecordingEvent> events;

    RecordingPipeline::Dependencies::ChunkFactory chunks(Kind kind);
    RecordingPipeline::Dependencies dependencies();
    ScriptedChannel& channel(Speaker speaker, Kind kind = Kind::realtime, std::size_t nth = 0);
    // Runs real I/O and moves virtual time in steps until `done` holds.
    bool drive(const std::function<bool()>& done, Clock::Duration limit = std::chrono::minutes(10),
               Clock::Duration step = std::chrono::milliseconds(100));
    // A finished transcript, as the speaker's realtime channel reports it.
    void say(Speaker speaker, std::int64_t t0, std::int64_t t1, const std::string& text);

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
