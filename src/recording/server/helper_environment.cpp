#include "recording/server/helper_environment.hpp"

#include <sys/utsname.h>
#include <cctype>
#include <cstdlib>

#include "core/async/steady_clock.hpp"
#include "core/net/beast_http_transport.hpp"
#include "platform/linux/pulse_input_streams.hpp"
#include "recording/calls/input_stream_process_source.hpp"

namespace tessarin {

namespace {

constexpr const char* helperVersion = "0.1.0";

// The first locale variable that is set, in the C library's order of precedence.
std::string_view localeNameFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return value;
        }
    }
    return {};
}

}  // namespace

std::shared_ptr<Clock> HelperEnvironment::defaultClock() {
    return std::make_shared<SteadyClock>();
}

std::optional<std::string> HelperEnvironment::languageCode(std::string_view localeName) {
    std::string code;
    for (char c : localeName) {
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            break;
        }
        code.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (code.empty() || code == "c" || code == "posix") {
        return std::nullopt;
    }
    return code;
}

std::optional<std::string> HelperEnvironment::localeLanguage() {
    return languageCode(localeNameFromEnvironment());
}

std::string HelperEnvironment::systemVersion() {
    utsname names{};
    if (uname(&names) != 0) {
        return "0.0.0";
    }
    int parts[3] = {0, 0, 0};
    const char* cursor = names.release;
    for (int& part : parts) {
        char* end = nullptr;
        part = static_cast<int>(std::strtol(cursor, &end, 10));
        if (end == cursor || *end != '.') {
            break;
        }
        cursor = end + 1;
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
           std::to_string(parts[2]);
}

HelperEnvironment HelperEnvironment::live(const Executor& executor) {
    HelperEnvironment env;
    env.version = helperVersion;
    env.macos = systemVersion();
    env.transport = std::make_shared<BeastHTTPTransport>(
        executor, env.clock,
        BeastHTTPTransport::Options{.userAgent = "tessarin-helper/" + env.version});
    env.pipeline = RecordingPipeline::Dependencies::live(executor, env.clock);
    env.micStatus = &CapturePermission::microphone;
    env.requestMic = &CapturePermission::ensureMicrophone;
    env.primeSystemAudio = &CapturePermission::primeSystemAudio;
    // Call detection reads the record streams open on the sound server.
    env.processSource = std::make_shared<InputStreamProcessSource>(
        [streams = std::make_shared<PulseInputStreams>()] { return streams->list(); });
    return env;
}

}  // namespace tessarin
