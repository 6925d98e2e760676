#include "recording/selftest/self_test_command.hpp"

#include <unistd.h>
#include <charconv>
#include <cmath>
#include <cstdio>

#include <boost/asio/io_context.hpp>

#include "core/async/steady_clock.hpp"
#include "core/async/task.hpp"
#include "platform/linux/audio_devices.hpp"
#include "recording/capture/capture_permission.hpp"

namespace tessarin {

namespace {

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::optional<int> wholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.starts_with('-')) {
        return std::nullopt;
    }
    return value;
}

std::string rateText(const std::optional<double>& rate) {
    return rate ? std::to_string(static_cast<long long>(*rate)) + " Hz" : "?";
}

// Where the test's sources record, as the user knows them, before the first meter line.
std::string deviceLines(bool echoCancellation) {
    return "mic:    " + AudioDevices::defaultInputName().value_or("?") +
           (echoCancellation ? " (voice processing requested)" : "") + "\n" +
           "system: " + AudioDevices::defaultOutputName().value_or("?") + " (monitor)\n\n";
}

}  // namespace

std::optional<SelfTestCommand::Options> SelfTestCommand::parse(
    std::span<const std::string> arguments) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--echo-cancellation") {
            options.echoCancellation = true;
        } else if (arguments[i] == "--seconds") {
            const auto seconds =
                i + 1 < arguments.size() ? wholeNumber(arguments[++i]) : std::nullopt;
            if (!seconds || *seconds < 1 || *seconds > 60) {
                return std::nullopt;
            }
            options.seconds = *seconds;
        }
    }
    return options;
}

std::string SelfTestCommand::bar(double level) {
    const auto full = static_cast<int>(std::clamp(std::round(level * 20), 0.0, 20.0));
    std::string text;
    for (int i = 0; i < 20; ++i) {
        text += i < full ? "█" : "·";
    }
    return text;
}

std::string SelfTestCommand::secondLine(const SelfTest::Second& second) {
    char text[160];
    std::snprintf(text, sizeof text, "%3ds  mic %s %.2f   system %s %.2f", second.second,
                  bar(second.mic).c_str(), second.mic, bar(second.system).c_str(), second.system);
    return text;
}

std::string SelfTestCommand::summary(const SelfTest::Report& report) {
    return "\nmic:    " + report.mic.device.value_or("?") + ", " + rateText(report.mic.sampleRate) +
           ", voice processing " + (report.voiceProcessing ? "on" : "off") + "\n" +
           "system: " + report.system.device.value_or("?") + ", " +
           rateText(report.system.sampleRate) + "\n" + report.text() + "\n";
}

int SelfTestCommand::run(std::span<const std::string> arguments) {
    const auto options = parse(arguments);
    if (!options) {
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, usage.data(), usage.size());
        return 2;
    }
    print("Tessarin self-test: " + std::to_string(options->seconds) +
          " s. Speak, and play something (a YouTube video) through the speakers.\n" +
          "Nothing is recorded, uploaded or saved.\n\n");

    boost::asio::io_context io(1);
    const auto clock = std::make_shared<SteadyClock>();
    SelfTest test(RecordingPipeline::Dependencies::live(io.get_executor(), clock),
                  options->echoCancellation, &CapturePermission::ensureMicrophone,
                  SelfTest::tenthOfASecond(clock));
    const auto onSecond = [&](const SelfTest::Second& second) {
        if (second.second == 1) {
            print(deviceLines(options->echoCancellation));
        }
        print(secondLine(second) + "\n");
    };
    int status = 1;
    Task<>::spawn(io.get_executor(), "the self-test", [&]() -> Awaitable<void> {
        const SelfTest::Report report = co_await test.run(options->seconds, {}, onSecond);
        print(summary(report));
        status = report.passed() ? 0 : 1;
    });
    io.run();
    return status;
}

}  // namespace tessarin
