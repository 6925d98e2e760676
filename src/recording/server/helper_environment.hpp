#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "recording/calls/call_detector.hpp"
#include "recording/calls/input_process_source.hpp"
#include "recording/capture/capture_permission.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "recording/selftest/self_test.hpp"

namespace tessarin {

class HTTPTransport;

// Everything the server takes from the outside world. Tests build one of substitutes and drive the
// whole protocol without audio hardware, network or permission prompts; `live` is production.
struct HelperEnvironment {
    using Date = std::chrono::system_clock::time_point;

    std::string version;
    std::string macos;  // the operating system's version
    std::function<CapturePermission::Status()> micStatus;
    std::function<Awaitable<bool>()> requestMic;
    std::function<void()> primeSystemAudio;
    // The factories and timings of every recording; its clock is `clock` in the live environment.
    RecordingPipeline::Dependencies pipeline;
    std::shared_ptr<HTTPTransport> transport;
    std::shared_ptr<InputProcessSource> processSource;

    Clock::Duration detectInterval = std::chrono::seconds(1);
    Clock::Duration callDebounce = CallDetector::defaultDebounce;
    Clock::Duration tokenTimeout = std::chrono::seconds(60);
    // How long the exit lets a running recording take to stop and save; below the process's
    // 45-second watchdog, so that what could not be saved is still handed back.
    Clock::Duration exitStopLimit = std::chrono::seconds(40);
    std::optional<std::string> defaultLanguage = localeLanguage();
    std::function<Date()> now = [] { return std::chrono::system_clock::now(); };
    // The monotonic clock of every wait the server and its recordings make.
    std::shared_ptr<Clock> clock = defaultClock();
    SelfTest::Tick selfTestTick = SelfTest::tenthOfASecond(clock);

    // The production environment; its network clients run on `executor` (the main executor).
    static HelperEnvironment live(const Executor& executor);

    // The language code of a locale name such as "de_CH.UTF-8" or "pt-BR"; nothing for the
    // "C"/"POSIX" locales or an empty name.
    static std::optional<std::string> languageCode(std::string_view localeName);
    // The language of the user's locale, as the C library resolves it (LC_ALL, LC_MESSAGES, LANG).
    static std::optional<std::string> localeLanguage();
    // The kernel's release as major.minor.patch.
    static std::string systemVersion();

  private:
    static std::shared_ptr<Clock> defaultClock();
};

}  // namespace tessarin
