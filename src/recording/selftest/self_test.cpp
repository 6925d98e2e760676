#include "recording/selftest/self_test.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include <boost/asio/this_coro.hpp>

#include "recording/capture/audio_source.hpp"
#include "recording/capture/capture_info.hpp"
#include "recording/selftest/self_test_meter.hpp"

namespace tessarin {

namespace {

constexpr std::string_view microphoneAccessOff =
    "Microphone access is off: Settings → Sound → Input";
constexpr std::string_view onlyDigitalSilence =
    "Only digital silence: play something, or choose the output device in Settings → Sound → "
    "Output";

double roundedToThousandths(double value) {
    return std::round(value * 1000) / 1000;
}

bool cancelled(const boost::asio::cancellation_state& state) {
    return state.cancelled() != boost::asio::cancellation_type::none;
}

}  // namespace

// One source under test: its meter (shared with the capture thread), the source itself, and what
// has been decided about it so far.
struct SelfTest::Source {
    std::shared_ptr<SelfTestMeter> meter = std::make_shared<SelfTestMeter>();
    std::unique_ptr<AudioSource> capture;
    std::optional<Status> decided;  // denied or error: it never ran
    std::optional<std::string> message;
    double peak = 0;
    double secondPeak = 0;
    int dropouts = 0;

    bool running() const { return capture && !decided; }
    void raise(double level) {
        peak = std::max(peak, level);
        secondPeak = std::max(secondPeak, level);
    }
    AudioSource::AudioCallback audio() const {
        return [meter = meter](std::span<const std::uint8_t> pcm) { meter->feed(pcm); };
    }
    AudioSource::InterruptionCallback interruptions() const {
        return [meter = meter](std::optional<std::string> message) {
            if (message) {
                meter->note(std::move(*message));
            }
        };
    }
    const CaptureInfo* info() const { return dynamic_cast<const CaptureInfo*>(capture.get()); }
};

std::string_view SelfTest::statusName(Status status) {
    switch (status) {
        case Status::ok:
            return "ok";
        case Status::silent:
            return "silent";
        case Status::denied:
            return "denied";
        case Status::error:
            return "error";
    }
    return "error";
}

SelfTest::Tick SelfTest::tenthOfASecond(std::shared_ptr<Clock> clock) {
    return [clock]() -> Awaitable<void> { co_await clock->sleep(std::chrono::milliseconds(100)); };
}

bool SelfTest::SourceReport::clipping() const {
    return totalSamples >= 1 &&
           static_cast<double>(clippedSamples) / static_cast<double>(totalSamples) > 0.001;
}

JSONValue SelfTest::SourceReport::json() const {
    JSONValue::Object object{
        {"status", statusName(status)}, {"peak", roundedToThousandths(peak)},
        {"clipping", clipping()},       {"clippedSamples", clippedSamples},
        {"dropouts", dropouts},
    };
    if (sampleRate) {
        object.emplace("sampleRate", static_cast<std::int64_t>(*sampleRate));
    }
    if (device) {
        object.emplace("device", *device);
    }
    if (message) {
        object.emplace("message", *message);
    }
    return object;
}

std::string SelfTest::SourceReport::line(std::string_view name) const {
    char peakText[32];
    std::snprintf(peakText, sizeof peakText, "peak %.2f", peak);
    std::string text =
        std::string(name) + ": " + std::string(statusName(status)) + " · " + peakText;
    if (clipping()) {
        text += " · CLIPPING (" + std::to_string(clippedSamples) + " samples)";
    }
    if (dropouts > 0) {
        text += " · " + std::to_string(dropouts) + " dropout second(s)";
    }
    if (message) {
        text += " · " + *message;
    }
    return text;
}

bool SelfTest::Report::passed() const {
    return mic.status == Status::ok && system.status == Status::ok && mic.dropouts == 0 &&
           system.dropouts == 0;
}

std::string SelfTest::Report::text() const {
    return mic.line("mic") + "\n" + system.line("system audio") + "\n" +
           (passed() ? "PASS" : "CHECK THE LINES ABOVE");
}

JSONValue SelfTest::Report::json() const {
    return JSONValue::object({
        {"seconds", seconds},
        {"passed", passed()},
        {"mic", mic.json()},
        {"system", system.json()},
    });
}

SelfTest::SelfTest(RecordingPipeline::Dependencies dependencies, bool echoCancellation,
                   RequestMic requestMic, Tick tick)
    : dependencies_(std::move(dependencies)),
      echoCancellation_(echoCancellation),
      requestMic_(std::move(requestMic)),
      tick_(std::move(tick)) {}

Awaitable<SelfTest::Report> SelfTest::run(int seconds, OnLevels onLevels, OnSecond onSecond,
                                          OnProgress onProgress) {
    Source mic, system;
    // Once cancelled, every wait ends at once: the sources that started are stopped and the
    // report is built from what was measured.
    try {
        co_await startMicrophone(mic);
        co_await startSystemAudio(system);
        const Listeners listeners{std::move(onLevels), std::move(onSecond), std::move(onProgress)};
        co_await measure(seconds, mic, system, listeners);
    } catch (...) {
        if (!isCancellation(std::current_exception())) {
            throw;
        }
    }
    for (Source* source : {&mic, &system}) {
        if (source->capture) {
            source->capture->stop();
        }
    }
    co_return reportOn(seconds, mic, system);
}

Awaitable<void> SelfTest::measure(int seconds, Source& mic, Source& system,
                                  const Listeners& listeners) {
    const auto state = co_await boost::asio::this_coro::cancellation_state;
    const long long ticks =
        seconds > 0 && seconds <= std::numeric_limits<int>::max() / 10 ? seconds * 10LL : 0;
    for (long long tick = 1; tick <= ticks && !cancelled(state); ++tick) {
        co_await tick_();
        const double micLevel = mic.meter->takeLevel();
        const double systemLevel = system.meter->takeLevel();
        mic.raise(micLevel);
        system.raise(systemLevel);
        if (listeners.onLevels) {
            listeners.onLevels(micLevel, systemLevel);
        }
        if (tick % 10 == 0) {
            endSecond(static_cast<int>(tick / 10), seconds, mic, system, listeners);
        }
    }
}

void SelfTest::endSecond(int second, int seconds, Source& mic, Source& system,
                         const Listeners& listeners) const {
    const Second ended{second, std::exchange(mic.secondPeak, 0.0),
                       std::exchange(system.secondPeak, 0.0)};
    for (Source* source : {&mic, &system}) {
        const std::int64_t delivered = source->meter->takeDeliveredMs();
        // The first second may go to starting up.
        if (second > 1 && source->running() && delivered < minimumMsPerSecond) {
            ++source->dropouts;
        }
    }
    if (listeners.onSecond) {
        listeners.onSecond(ended);
    }
    if (listeners.onProgress) {
        listeners.onProgress(reportOn(seconds, mic, system));
    }
}

Awaitable<void> SelfTest::startMicrophone(Source& mic) {
    const bool allowed = co_await requestMic_();
    if (!allowed) {
        mic.decided = Status::denied;
        mic.message = std::string(microphoneAccessOff);
        co_return;
    }
    try {
        mic.capture = dependencies_.makeMic(echoCancellation_, mic.audio(), mic.interruptions());
        co_await mic.capture->start();
    } catch (...) {
        const auto error = std::current_exception();
        if (isCancellation(error)) {
            throw;
        }
        mic.decided = Status::error;
        mic.message = describe(error);
    }
}

Awaitable<void> SelfTest::startSystemAudio(Source& system) {
    try {
        system.capture = dependencies_.makeSystem(system.audio(), system.interruptions());
        co_await system.capture->start();
    } catch (...) {
        const auto error = std::current_exception();
        if (isCancellation(error)) {
            throw;
        }
        system.decided = Status::error;
        system.message = describe(error);
    }
}

SelfTest::Report SelfTest::reportOn(int seconds, const Source& mic, const Source& system) const {
    Report report;
    report.seconds = seconds;
    const auto describeSource = [](const Source& source, SourceReport& out) {
        const SelfTestMeter::Totals totals = source.meter->totals();
        out.peak = source.peak;
        out.clippedSamples = totals.clipped;
        out.totalSamples = totals.samples;
        out.dropouts = source.dropouts;
        if (const CaptureInfo* info = source.info()) {
            out.sampleRate = info->sampleRate();
            out.device = info->deviceName();
        }
        out.message = source.decided ? source.message : totals.note;
        return totals;
    };
    describeSource(mic, report.mic);
    report.mic.status = mic.decided.value_or(mic.peak >= okLevel ? Status::ok : Status::silent);

    const SelfTestMeter::Totals systemTotals = describeSource(system, report.system);
    if (system.decided) {
        report.system.status = *system.decided;
    } else if (system.peak >= okLevel) {
        report.system.status = Status::ok;
    } else if (systemTotals.anyNonZero) {
        report.system.status = Status::silent;
    } else {
        // Only digital silence: on macOS the sign of a missing permission; here of an output
        // nobody plays into.
        report.system.status = Status::denied;
        report.system.message = systemTotals.note.value_or(std::string(onlyDigitalSilence));
    }
    const CaptureInfo* micInfo = mic.running() ? mic.info() : nullptr;
    report.voiceProcessing = micInfo && micInfo->voiceProcessingActive();
    return report;
}

}  // namespace tessarin
