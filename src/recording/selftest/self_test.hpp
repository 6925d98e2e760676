#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/async/awaitable.hpp"
#include "core/json/json_value.hpp"
#include "recording/pipeline/recording_pipeline.hpp"

namespace tessarin {

class AudioSource;
class SelfTestMeter;

// Checks, without recording, uploading or saving anything, that both sources deliver usable
// audio: runs the recording's capture sources for some seconds, measures level, clipping and
// gaps per source, and judges each.
class SelfTest {
  public:
    enum class Status { ok, silent, denied, error };

    // The level a source must reach once to pass.
    static constexpr double okLevel = 0.25;
    // Less audio than this in a second (0.7 s at 24 kHz) is a dropout.
    static constexpr std::int64_t minimumMsPerSecond = 700;

    struct SourceReport {
        Status status = Status::ok;
        double peak = 0;  // the highest tick level (0-1)
        std::optional<double> sampleRate;
        std::optional<std::string> device;
        std::int64_t clippedSamples = 0;
        std::int64_t totalSamples = 0;
        int dropouts = 0;  // seconds with too little audio
        std::optional<std::string> message;

        // More than one sample in a thousand clipped.
        bool clipping() const;
        JSONValue json() const;
        // "mic: ok · peak 0.53 · …"
        std::string line(std::string_view name) const;
    };

    struct Report {
        int seconds = 0;
        bool voiceProcessing = false;
        SourceReport mic;
        SourceReport system;

        bool passed() const;
        std::string text() const;
        JSONValue json() const;
    };

    // The loudest tick of each source during one second (numbered from 1).
    struct Second {
        int second = 0;
        double mic = 0;
        double system = 0;
    };

    using RequestMic = std::function<Awaitable<bool>()>;
    using Tick = std::function<Awaitable<void>()>;
    using OnLevels = std::function<void(double mic, double system)>;
    using OnSecond = std::function<void(const Second& second)>;
    using OnProgress = std::function<void(const Report& report)>;

    static std::string_view statusName(Status status);
    // The production tick: a tenth of a second on `clock`.
    static Tick tenthOfASecond(std::shared_ptr<Clock> clock);

    // Only the capture factories of `dependencies` are used.
    SelfTest(RecordingPipeline::Dependencies dependencies, bool echoCancellation,
             RequestMic requestMic, Tick tick);

    // Runs `seconds` x 10 ticks. A cancelled task ends the ticks early and still gets its report.
    Awaitable<Report> run(int seconds, OnLevels onLevels = {}, OnSecond onSecond = {},
                          OnProgress onProgress = {});

  private:
    struct Source;
    struct Listeners {
        OnLevels onLevels;
        OnSecond onSecond;
        OnProgress onProgress;
    };

    Awaitable<void> startMicrophone(Source& mic);
    Awaitable<void> startSystemAudio(Source& system);
    Awaitable<void> measure(int seconds, Source& mic, Source& system, const Listeners& listeners);
    void endSecond(int second, int seconds, Source& mic, Source& system,
                   const Listeners& listeners) const;
    Report reportOn(int seconds, const Source& mic, const Source& system) const;

    RecordingPipeline::Dependencies dependencies_;
    bool echoCancellation_;
    RequestMic requestMic_;
    Tick tick_;
};

}  // namespace tessarin
