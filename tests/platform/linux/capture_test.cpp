#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
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

// The frequency of a 24 kHz signal from its upward zero crossings.
double frequency(const std::vector<std::int16_t>& samples) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += samples[i - 1] < 0 && samples[i] >= 0 ? 1 : 0;
    }
    return crossings * 24000.0 / static_cast<double>(samples.size());
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
    for (const JSONValue& stream : *streams->arrayValue()) {
        const JSONValue* properties = stream.member("properties");
        if (const JSONValue* want = properties->member("filter.want");
            want && want->stringValue() == "echo-cancel") {
            names.push_back(*properties->member("media.name")->stringValue());
        }
    }
    return names;
}

// A pacat recording from `device` of `server` that gives itself `property`.
std::unique_ptr<ChildProcess> record(const PulseTestServer& server, const std::string& device,
                                     const std::string& property) {
    return std::make_unique<ChildProcess>(
        "/usr/bin/pacat",
        std::vector<std::string>{"--record", "--raw", "--server=" + server.address(),
                                 "--device=" + device, "--property=" + property, "/dev/null"});
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

// Tones arrive as 24 kHz PCM16 in 100 ms blocks at the level and frequency played; call detection
// sees the record streams; a lost server is reported and, once the watcher reconnects, recovered
// from; each capture follows its default device alone; nothing arrives after stop; without devices
// a start fails in the user's words.
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
    const auto hears = [&](const Heard& heard, double frequency) {
        ASSERT_TRUE(hearMore(heard, 18000));
        const auto all = heard.get().samples;
        const std::vector<std::int16_t> samples(all.end() - 12000, all.end());
        EXPECT_NEAR(*std::max_element(samples.begin(), samples.end()) / 32768.0, 0.5, 0.02);
        EXPECT_NEAR(tessarin::test::frequency(samples), frequency, frequency * 0.01);
        // The first block is shorter by the resampler's delay.
        const auto buffers = heard.get().buffers;
        EXPECT_GE(*std::min_element(buffers.begin(), buffers.end()), 90u * PCM16::bytesPerMs);
        EXPECT_LE(*std::max_element(buffers.begin(), buffers.end()), 100u * PCM16::bytesPerMs + 2);
    };
    {
        const TonePlayer micTone(server.address(), "micsink", 440);
        const TonePlayer systemTone(server.address(), "speakers", 1000);
        start(micCapture);
        start(systemCapture);
        // Voice processing asks for the server's echo canceller; without one it changes nothing.
        EXPECT_EQ(echoCancellerRequests(server.address()), std::vector<std::string>{"Microphone"});
        EXPECT_FALSE(micCapture.voiceProcessingActive());
        EXPECT_EQ(micCapture.deviceName(), "Microphone");
        EXPECT_EQ(micCapture.sampleRate(), 44100);
        EXPECT_EQ(systemCapture.deviceName(), "Speakers");
        EXPECT_EQ(systemCapture.sampleRate(), 48000);
        hears(mic, 440);
        hears(system, 1000);

        // Call detection sees the record streams by the names they give: those that record what is
        // played do not count, and ours says it is ours.
        const auto zoom = record(server, "mic", "application.process.binary=zoom");
        const auto meter =
            record(server, "speakers.monitor", "application.id=com.discordapp.Discord");
        const PulseInputStreams streams(connection);
        // Besides ours and the two programs', those of the tones and of the virtual microphone.
        ASSERT_TRUE(runUntil(
            io, [&] { return streams.list().size() == 7; }, 10s));
        EXPECT_THAT(
            InputStreamProcessSource([&] { return streams.list(); }).processesUsingInput(),
            testing::UnorderedElementsAre(InputProcess{zoom->pid(), "us.zoom.xos"},
                                          InputProcess{getpid(), "com.tessarin.desktop.helper"}));
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

    {
        const TonePlayer tone(server.address(), "micsink", 660);
        ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-sink", "micsink"}), 0);
        ASSERT_TRUE(awaitInterruptions(system, 3));
        hears(system, 660);
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
    const auto nowhere = std::make_shared<PulseConnection>("unix:/nonexistent/native");
    MicCapture unreachable(false, none.audio(), none.interrupted(), nowhere);
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
    EXPECT_THROW(PulseInputStreams(nowhere).list(), std::runtime_error);
    const std::string shared = *PulseTestServer::shared();
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    EXPECT_EQ(CapturePermission::microphone(), CapturePermission::Status::unknown);
    setenv("PULSE_SERVER", shared.c_str(), 1);
}

}  // namespace
}  // namespace tessarin::test
