#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/audio/pcm16.hpp"
#include "core/json/json_value.hpp"
#include "platform/linux/audio_devices.hpp"
#include "platform/linux/device_watcher.hpp"
#include "platform/linux/mic_capture.hpp"
#include "platform/linux/pulse_connection.hpp"
#include "platform/linux/pulse_input_streams.hpp"
#include "platform/linux/system_audio_capture.hpp"
#include "recording/calls/input_stream_process_source.hpp"
#include "recording/capture/capture_error.hpp"
#include "recording/capture/capture_permission.hpp"
#include "support/pending.hpp"
#include "support/pulse_test_server.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;
using Messages = std::vector<std::optional<std::string>>;

// What a capture delivered, gathered from the sound server's thread.
struct Heard {
    struct Data {
        std::vector<std::int16_t> samples;
        std::vector<std::size_t> buffers;  // bytes
        Messages said;                     // the interruptions
    };
    mutable std::mutex mutex;
    Data data;

    Data get() const {
        const std::lock_guard guard(mutex);
        return data;
    }
    std::vector<std::int16_t> last(std::size_t count) const {
        const auto samples = get().samples;
        return {samples.end() - static_cast<long>(std::min(count, samples.size())), samples.end()};
    }
    AudioSource::AudioCallback audio() {
        return [this](std::span<const std::uint8_t> pcm) {
            const auto decoded = PCM16::decode(pcm);
            const std::lock_guard guard(mutex);
            data.samples.insert(data.samples.end(), decoded.begin(), decoded.end());
            data.buffers.push_back(pcm.size());
        };
    }
    AudioSource::InterruptionCallback interrupted() {
        return [this](std::optional<std::string> message) {
            const std::lock_guard guard(mutex);
            data.said.push_back(std::move(message));
        };
    }
};

// The frequency of a 24 kHz signal from the median period between upward zero crossings: a player
// starved by a busy machine leaves a few gaps, which do not move the median.
double frequency(const std::vector<std::int16_t>& samples) {
    std::vector<double> periods;
    double previous = -1;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double at = static_cast<double>(i - 1) +
                              -samples[i - 1] / static_cast<double>(samples[i] - samples[i - 1]);
            if (previous >= 0) {
                periods.push_back(at - previous);
            }
            previous = at;
        }
    }
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return periods.empty() ? 0 : 24000 / periods[periods.size() / 2];
}

double peak(const std::vector<std::int16_t>& samples) {
    return *std::max_element(samples.begin(), samples.end()) / 32768.0;
}

// The names of the record streams of `server` that ask for the server's echo canceller.
std::vector<std::string> echoCancellerRequests(const std::string& server) {
    std::string text(1 << 16, '\0');
    FILE* const pactl =
        popen(("pactl --server=" + server + " --format=json list source-outputs").c_str(), "r");
    text.resize(fread(text.data(), 1, text.size(), pactl));
    pclose(pactl);
    const auto streams = JSONValue::parse(text);
    std::vector<std::string> names;
    if (!streams || !streams->arrayValue()) {
        return {"unreadable: " + text};
    }
    for (const JSONValue& stream : *streams->arrayValue()) {
        const JSONValue* properties = stream.member("properties");
        if (properties->member("filter.want") &&
            properties->member("filter.want")->stringValue() == "echo-cancel") {
            names.push_back(properties->member("media.name")->stringValue().value_or(""));
        }
    }
    return names;
}

struct CaptureTest : testing::Test {
    boost::asio::io_context io;

    void start(AudioSource& source) {
        Pending<void> started(io, source.start());
        started.get();
    }
    // Generous limits: a sanitizer build on a busy machine takes seconds to move a stream.
    bool hearMore(const Heard& heard, std::size_t count) {
        const std::size_t target = heard.get().samples.size() + count;
        return runUntil(
            io, [&] { return heard.get().samples.size() >= target; }, 30s);
    }
    bool awaitInterruptions(const Heard& heard, std::size_t count) {
        return runUntil(
            io, [&] { return heard.get().said.size() >= count; }, 30s);
    }
};

// Tones arrive as 24 kHz PCM16 in 100 ms blocks at the level and frequency played; a lost server
// is reported and, once the watcher reconnects, recovered from; each capture follows its default
// device alone; nothing arrives after stop; without devices a start fails in the user's words.
TEST_F(CaptureTest, CapturesRecordAndFollowTheServerAndItsDefaultDevices) {
    REQUIRE_SOUND_SERVER();
    PulseTestServer server;
    const auto connection = std::make_shared<PulseConnection>(server.address());
    const auto clock = std::make_shared<ManualClock>(io);
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> changes;
    const auto watcher = DeviceWatcher::start(
        io.get_executor(), clock, [&](auto in, auto out) { changes.emplace_back(in, out); },
        connection);
    Heard mic, system;
    MicCapture micCapture(true, mic.audio(), mic.interrupted(), connection);
    SystemAudioCapture systemCapture(system.audio(), system.interrupted(), connection);
    const auto hears = [&](const Heard& heard, double frequency, double amplitude) {
        ASSERT_TRUE(hearMore(heard, 18000));
        const auto samples = heard.last(12000);
        EXPECT_NEAR(peak(samples), amplitude, 0.02);
        EXPECT_NEAR(tessarin::test::frequency(samples), frequency, frequency * 0.01);
        // The first block is shorter by the resampler's delay.
        const auto buffers = heard.get().buffers;
        EXPECT_GE(*std::min_element(buffers.begin(), buffers.end()), 90u * PCM16::bytesPerMs);
        EXPECT_LE(*std::max_element(buffers.begin(), buffers.end()), 100u * PCM16::bytesPerMs + 2);
    };
    {
        const TonePlayer micTone(server.address(), "micsink", 440, 0.5);
        const TonePlayer systemTone(server.address(), "speakers", 1000, 0.3);
        start(micCapture);
        start(systemCapture);
        // Voice processing asks for the server's echo canceller; without one it changes nothing.
        EXPECT_EQ(echoCancellerRequests(server.address()), std::vector<std::string>{"Microphone"});
        EXPECT_FALSE(micCapture.voiceProcessingActive());
        EXPECT_EQ(micCapture.deviceName(), "Microphone");
        EXPECT_EQ(micCapture.sampleRate(), 44100);
        EXPECT_EQ(systemCapture.deviceName(), "Speakers");
        EXPECT_EQ(systemCapture.sampleRate(), 48000);
        hears(mic, 440, 0.5);
        hears(system, 1000, 0.3);
    }
    EXPECT_EQ(AudioDevices::defaultOutputName(connection), "Speakers");
    EXPECT_EQ(AudioDevices::defaultInputName(connection), "Microphone");

    server.kill();
    ASSERT_TRUE(awaitInterruptions(mic, 1) && awaitInterruptions(system, 1));
    EXPECT_EQ(mic.get().said[0], "The microphone stopped: Connection terminated.");
    EXPECT_EQ(system.get().said[0], "Lost the other side: Connection terminated.");
    server.start();
    clock->advance(DeviceWatcher::longestRetry);
    ASSERT_TRUE(awaitInterruptions(mic, 2) && awaitInterruptions(system, 2));
    EXPECT_EQ(mic.get().said[1], std::nullopt);
    EXPECT_EQ(system.get().said[1], std::nullopt);

    {
        const TonePlayer tone(server.address(), "micsink", 660, 0.5);
        ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-sink", "micsink"}), 0);
        ASSERT_TRUE(awaitInterruptions(system, 3));
        hears(system, 660, 0.5);
    }
    EXPECT_EQ(systemCapture.deviceName(), "Microphone-feed");
    EXPECT_EQ(systemCapture.sampleRate(), 44100);
    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-source", "speakers.monitor"}),
              0);
    ASSERT_TRUE(awaitInterruptions(mic, 3));
    settle(io, 300ms);
    EXPECT_EQ(mic.get().said, (Messages{mic.get().said[0], std::nullopt, std::nullopt}));
    EXPECT_EQ(system.get().said, (Messages{system.get().said[0], std::nullopt, std::nullopt}));
    EXPECT_EQ(micCapture.deviceName(), "Monitor of Speakers");
    EXPECT_EQ(micCapture.sampleRate(), 48000);
    EXPECT_EQ(changes, (decltype(changes){{std::nullopt, "Microphone-feed"},
                                          {"Monitor of Speakers", std::nullopt}}));

    micCapture.stop();
    systemCapture.stop();
    const std::size_t stoppedAt = mic.get().samples.size() + system.get().samples.size();
    settle(io, 300ms);
    EXPECT_EQ(mic.get().samples.size() + system.get().samples.size(), stoppedAt);
    for (const char* module : {"module-remap-source", "module-null-sink"}) {
        ASSERT_EQ(PulseTestServer::pactl(server.address(), {"unload-module", module}), 0);
    }
    Heard none;
    MicCapture noMic(false, none.audio(), none.interrupted(), connection);
    SystemAudioCapture noOutput(none.audio(), none.interrupted(), connection);
    MicCapture unreachable(false, none.audio(), none.interrupted(),
                           std::make_shared<PulseConnection>("unix:/nonexistent/native"));
    const std::pair<AudioSource*, std::string> cases[] = {
        {&noMic, "No microphone is available."},
        {&noOutput, "There's no audio output device."},
        {&unreachable, "Couldn't reach the sound server (error 6)."},
    };
    for (const auto& [source, message] : cases) {
        Pending<void> started(io, source->start());
        const auto failure = test::failure<CaptureError>(started);
        ASSERT_TRUE(failure) << message;
        EXPECT_EQ(std::string(failure->what()), message);
    }
    EXPECT_EQ(AudioDevices::defaultInputName(connection), std::nullopt);
    EXPECT_EQ(AudioDevices::defaultOutputName(connection), std::nullopt);
    const std::string shared = *PulseTestServer::shared();
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    EXPECT_EQ(CapturePermission::microphone(), CapturePermission::Status::unknown);
    setenv("PULSE_SERVER", shared.c_str(), 1);
}

// The record streams as call detection sees them, by the names they give: those that record what is
// played do not count, and ours says it is ours. A server that can't be reached is an error.
TEST_F(CaptureTest, RecordStreamsAreListedAsCallDetectionSeesThem) {
    REQUIRE_SOUND_SERVER();
    const PulseTestServer server;
    const auto record = [&](const std::string& device, const std::string& property) {
        return std::make_unique<ChildProcess>(
            "/usr/bin/pacat",
            std::vector<std::string>{"--record", "--raw", "--server=" + server.address(),
                                     "--device=" + device, "--property=" + property, "/dev/null"});
    };
    const auto zoom = record("mic", "application.process.binary=zoom");
    const auto meter = record("speakers.monitor", "application.id=com.discordapp.Discord");
    const auto connection = std::make_shared<PulseConnection>(server.address());
    Heard heard;
    MicCapture ours(false, heard.audio(), heard.interrupted(), connection);
    start(ours);
    const PulseInputStreams streams(connection);
    // Besides ours and the two programs', the stream by which the virtual microphone hears its
    // sink.
    ASSERT_TRUE(runUntil(
        io, [&] { return streams.list().size() == 4; }, 10s));
    auto processes = InputStreamProcessSource([&] { return streams.list(); }).processesUsingInput();
    std::sort(processes.begin(), processes.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
    auto expected = std::vector<InputProcess>{{zoom->pid(), "us.zoom.xos"},
                                              {getpid(), "com.tessarin.desktop.helper"}};
    std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
    EXPECT_EQ(processes, expected);
    const PulseInputStreams unreachable(
        std::make_shared<PulseConnection>("unix:/nonexistent/native"));
    EXPECT_THROW(unreachable.list(), std::runtime_error);
}

}  // namespace
}  // namespace tessarin::test
