#include "support/scripted_channel.hpp"

#include <stdexcept>
#include <utility>

#include "core/log/diagnostics.hpp"
#include "support/io_driver.hpp"

namespace tessarin::test {

RecordingRig::RecordingRig() {
    Diagnostics::setSink([this](std::string_view line) { diagnostics.emplace_back(line); });
}

RecordingRig::~RecordingRig() {
    Diagnostics::setSink({});
}

RecordingPipeline::Dependencies::ChunkFactory RecordingRig::chunks(Kind kind) {
    return [this, kind](Speaker speaker, std::optional<std::string>, std::int64_t,
                        ChunkChannel::SeqFor, ChunkChannel::Upload, ChannelCallbacks callbacks) {
        auto scripted = std::make_shared<ScriptedChannel>(kind, speaker, std::move(callbacks));
        if (prepare) {
            prepare(*scripted);
        }
        made.push_back(scripted);
        return scripted;
    };
}

RecordingPipeline::Dependencies RecordingRig::dependencies() {
    RecordingPipeline::Dependencies deps;
    deps.clock = clock;
    deps.makeMic = [this](bool, auto audio, auto interruptions) {
        return mic.open(std::move(audio), std::move(interruptions));
    };
    deps.makeSystem = [this](auto audio, auto interruptions) {
        return system.open(std::move(audio), std::move(interruptions));
    };
    deps.makeRealtime = [make = chunks(Kind::realtime)](Speaker speaker, auto language, auto,
                                                        ChannelCallbacks callbacks) {
        return make(speaker, std::move(language), 0, nullptr, nullptr, std::move(callbacks));
    };
    deps.makeFallback = chunks(Kind::fallback);
    return deps;
}

ScriptedChannel& RecordingRig::channel(Speaker speaker, Kind kind, std::size_t nth) {
    for (const auto& one : made) {
        if (one->kind == kind && one->speaker == speaker && nth-- == 0) {
            return *one;
        }
    }
    throw std::logic_error("no such scripted channel");
}

bool RecordingRig::drive(const std::function<bool()>& done, Clock::Duration limit,
                         Clock::Duration step) {
    return driveUntil(io, *clock, done, limit, step, std::chrono::milliseconds(5));
}

void RecordingRig::say(Speaker speaker, std::int64_t t0, std::int64_t t1, const std::string& text) {
    channel(speaker).callbacks.segment(speaker, t0, t1, text);
    clock->runReady();
}

}  // namespace tessarin::test
