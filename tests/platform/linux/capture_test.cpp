#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/audio/pcm16.hpp"
#include "platform/linux/audio_devices.hpp"
#include "platform/linux/device_watcher.hpp"
#include "platform/linux/mic_capture.hpp"
#include "platform/linux/pulse_connection.hpp"
#include "platform/linux/pulse_input_streams.hpp"
#include "platform/linux/system_audio_capture.hpp"
#include "recording/calls/call_watcher.hpp"
#include "recording/calls/input_stream_process_source.hpp"
#include "recording/capture/capture_error.hpp"
#include "recording/capture/capture_permission.hpp"
#include "support/pending.hpp"
#include "support/pulse_test_server.hpp"
#include "support/tone_player.hpp"

namespace tessarin::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// What a capture delivered, gathered from the sound server's thread.
struct Heard {
    mutable std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::size_t smallestBuffer = SIZE_MAX;  // bytes
    std::size_t largestBuffer = 0;
    std::vector<std::optional<std::string>> interruptions;

    AudioSource::AudioCallback audio() {
        return [this](std::span<const std::uint8_t> pcm) {
            const auto decoded = PCM16::decode(pcm);
            const std::lock_guard guard(mutex);
            samples.insert(samples.end(), decoded.begin(), decoded.end());
            smallestBuffer = std::min(smallestBuffer, pcm.size());
            largestBuffer = std::max(largestBuffer, pcm.size());
        };
    }
    AudioSource::InterruptionCallback interrupted() {
        return [this](std::optional<std::string> message) {
            const std::lock_guard guard(mutex);
            interruptions.push_back(std::move(message));
        };
    }
    std::size_t count() const {
        const std::lock_guard guard(mutex);
        return samples.size();
    }
    std::vector<std::optional<std::string>> interruptionsSoFar() const {
        const std::lock_guard guard(mutex);
        return interruptions;
    }
    // The last `count` samples.
    std::vector<std::int16_t> last(std::size_t count) const {
        const std::lock_guard guard(mutex);
        count = std::min(count, samples.size());
        return {samples.end() - static_cast<long>(count), samples.end()};
    }
};

// The median root mean square of 50 ms windows as a fraction of full scale, and the frequency of a
// 24 kHz signal from the median period between upward zero crossings: a player starved by a busy
// machine leaves a few gaps, which move neither median.
double level(const std::vector<std::int16_t>& samples) {
    std::vector<double> windows;
    for (std::size_t at = 0; at + 1200 <= samples.size(); at += 1200) {
        double sum = 0;
        for (std::size_t i = at; i < at + 1200; ++i) {
            sum += static_cast<double>(samples[i]) * samples[i];
        }
        windows.push_back(std::sqrt(sum / 1200) / 32768);
    }
    std::nth_element(windows.begin(), windows.begin() + windows.size() / 2, windows.end());
    return windows.empty() ? 0 : windows[windows.size() / 2];
}
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
    if (periods.empty()) {
        return 0;
    }
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return 24000 / periods[periods.size() / 2];
}

// What `pactl list source-outputs` says about the record streams of `server`.
std::string recordStreams(const std::string& server) {
    std::string text;
    if (FILE* pactl = popen(("pactl --server=" + server + " list source-outputs").c_str(), "r")) {
        char chunk[4096];
        for (std::size_t read; (read = fread(chunk, 1, sizeof chunk, pactl)) > 0;) {
            text.append(chunk, read);
        }
        pclose(pactl);
    }
    return text;
}

struct CaptureTest : testing::Test {
    boost::asio::io_context io;

    void start(AudioSource& source) {
        Pending<void> started(io, source.start());
        started.get();
    }
    // Runs the executor until `heard` has `count` samples more than now. The limits are generous:
    // a sanitizer build on a busy machine takes seconds to move a stream.
    bool hearMore(const Heard& heard, std::size_t count, milliseconds limit = seconds(30)) {
        const std::size_t target = heard.count() + count;
        return runUntil(
            io, [&] { return heard.count() >= target; }, limit);
    }
    bool awaitInterruptions(const Heard& heard, std::size_t count,
                            milliseconds limit = seconds(30)) {
        return runUntil(
            io, [&] { return heard.interruptionsSoFar().size() >= count; }, limit);
    }
};

std::string sharedServer() {
    return PulseTestServer::shared().value_or("");
}

#define REQUIRE_SOUND_SERVER()                                                         \
    if (sharedServer().empty()) {                                                      \
        GTEST_SKIP() << "no sound server: set PULSE_SERVER (scripts/test starts one)"; \
    }

// A tone played into the virtual microphone's sink and into the speakers arrives through each
// capture as 24 kHz PCM16 in buffers of about 100 ms, at the level and frequency played, with the
// device's rate and name.
TEST_F(CaptureTest, ATonePlayedArrivesAt24kHzWithItsLevelAndFrequency) {
    REQUIRE_SOUND_SERVER();
    const auto connection = std::make_shared<PulseConnection>(sharedServer());
    struct Case {
        bool microphone;
        bool voiceProcessing;
        std::string sink;
        double frequency, amplitude, rate;
        std::string device;
    };
    const Case cases[] = {
        {true, false, "micsink", 440, 0.5, 44100, "Microphone"},
        // Without an echo canceller on the server the request changes nothing.
        {true, true, "micsink", 700, 0.4, 44100, "Microphone"},
        {false, false, "speakers", 1000, 0.3, 48000, "Speakers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + " " + std::to_string(c.frequency));
        const TonePlayer tone(sharedServer(), c.sink, c.frequency, c.amplitude);
        Heard heard;
        std::unique_ptr<PulseCapture> capture;
        if (c.microphone) {
            capture = std::make_unique<MicCapture>(c.voiceProcessing, heard.audio(),
                                                   heard.interrupted(), connection);
        } else {
            capture = std::make_unique<SystemAudioCapture>(heard.audio(), heard.interrupted(),
                                                           connection);
        }
        start(*capture);
        EXPECT_EQ(capture->sampleRate(), c.rate);
        EXPECT_EQ(capture->deviceName(), c.device);
        EXPECT_FALSE(capture->voiceProcessingActive());
        // Voice processing asks the server for its echo canceller.
        EXPECT_EQ(recordStreams(sharedServer()).find(R"(filter.want = "echo-cancel")") !=
                      std::string::npos,
                  c.voiceProcessing);
        ASSERT_TRUE(hearMore(heard, 18000));
        const auto samples = heard.last(12000);
        EXPECT_NEAR(level(samples), c.amplitude / std::sqrt(2.0), 0.02);
        EXPECT_NEAR(frequency(samples), c.frequency, c.frequency * 0.01);
        // Blocks of 100 ms, whatever pieces the server sends (the first is shorter by the
        // resampler's delay).
        EXPECT_GE(heard.smallestBuffer, 90u * PCM16::bytesPerMs);
        EXPECT_LE(heard.largestBuffer, 100u * PCM16::bytesPerMs + 2);
        capture->stop();
        const std::size_t stoppedAt = heard.count();
        settle(io, milliseconds(300));
        EXPECT_EQ(heard.count(), stoppedAt) << "audio after stop";
        EXPECT_TRUE(heard.interruptionsSoFar().empty());
    }
}

// Changing the default output rebuilds the system capture once, on the new device, and reports
// that it recovered; the microphone is left alone. Changing the default input moves the
// microphone. The watcher reports each change with the name users see.
TEST_F(CaptureTest, CapturesFollowTheDefaultDevicesAndTheWatcherReportsThem) {
    REQUIRE_SOUND_SERVER();
    PulseTestServer server;
    const auto connection = std::make_shared<PulseConnection>(server.address());
    Heard mic, system;
    MicCapture micCapture(false, mic.audio(), mic.interrupted(), connection);
    SystemAudioCapture systemCapture(system.audio(), system.interrupted(), connection);
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> changes;
    const auto watcher = DeviceWatcher::start(
        io.get_executor(), std::make_shared<ManualClock>(io),
        [&](auto input, auto output) { changes.emplace_back(input, output); }, connection);
    start(micCapture);
    start(systemCapture);
    EXPECT_EQ(AudioDevices::defaultOutputName(connection), "Speakers");
    EXPECT_EQ(AudioDevices::defaultInputName(connection), "Microphone");

    const TonePlayer tone(server.address(), "micsink", 660, 0.5);
    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-sink", "micsink"}), 0);
    ASSERT_TRUE(awaitInterruptions(system, 1));
    ASSERT_TRUE(hearMore(system, 18000));
    settle(io, milliseconds(300));
    EXPECT_EQ(system.interruptionsSoFar(), (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_NEAR(frequency(system.last(12000)), 660, 6.6);
    EXPECT_EQ(systemCapture.deviceName(), "Microphone-feed");
    EXPECT_EQ(systemCapture.sampleRate(), 44100);
    EXPECT_TRUE(mic.interruptionsSoFar().empty());

    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"set-default-source", "speakers.monitor"}),
              0);
    ASSERT_TRUE(awaitInterruptions(mic, 1));
    settle(io, milliseconds(300));
    EXPECT_EQ(mic.interruptionsSoFar(), (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_EQ(micCapture.deviceName(), "Monitor of Speakers");
    EXPECT_EQ(micCapture.sampleRate(), 48000);
    EXPECT_EQ(system.interruptionsSoFar().size(), 1u);

    using Change = std::pair<std::optional<std::string>, std::optional<std::string>>;
    EXPECT_EQ(changes, (std::vector<Change>{{std::nullopt, "Microphone-feed"},
                                            {"Monitor of Speakers", std::nullopt}}));
}

// The sound server going away is reported by both captures; while it is away a start fails and
// says why; when it is back the watcher reconnects (after its pause, in virtual time) and both
// captures record again.
TEST_F(CaptureTest, ALostSoundServerIsReportedAndCaptureComesBackWithIt) {
    REQUIRE_SOUND_SERVER();
    PulseTestServer server;
    const auto connection = std::make_shared<PulseConnection>(server.address());
    const auto clock = std::make_shared<ManualClock>(io);
    const auto watcher = DeviceWatcher::start(
        io.get_executor(), clock, [](auto, auto) {}, connection);
    Heard mic, system;
    MicCapture micCapture(false, mic.audio(), mic.interrupted(), connection);
    SystemAudioCapture systemCapture(system.audio(), system.interrupted(), connection);
    start(micCapture);
    start(systemCapture);

    server.kill();
    ASSERT_TRUE(awaitInterruptions(mic, 1));
    ASSERT_TRUE(awaitInterruptions(system, 1));
    EXPECT_EQ(mic.interruptionsSoFar()[0], "The microphone stopped: Connection terminated.");
    EXPECT_EQ(system.interruptionsSoFar()[0], "Lost the other side: Connection terminated.");

    // Nothing but the watcher tries to reconnect.
    server.start();
    clock->advance(DeviceWatcher::longestRetry);
    ASSERT_TRUE(awaitInterruptions(mic, 2));
    ASSERT_TRUE(awaitInterruptions(system, 2));
    EXPECT_EQ(mic.interruptionsSoFar()[1], std::nullopt);
    EXPECT_EQ(system.interruptionsSoFar()[1], std::nullopt);
    const TonePlayer tone(server.address(), "speakers", 500, 0.5);
    EXPECT_TRUE(hearMore(system, 24000));
    Heard late;
    MicCapture lateCapture(false, late.audio(), late.interrupted(), connection);
    start(lateCapture);
    EXPECT_EQ(lateCapture.deviceName(), "Microphone");
}

// Without an output device the system capture can't start, and without a source the microphone
// can't: each says so in the user's words.
TEST_F(CaptureTest, StartFailsWithTheUsersWordsWhenThereIsNoDevice) {
    REQUIRE_SOUND_SERVER();
    PulseTestServer server;
    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"unload-module", "module-remap-source"}),
              0);
    ASSERT_EQ(PulseTestServer::pactl(server.address(), {"unload-module", "module-null-sink"}), 0);
    const auto connection = std::make_shared<PulseConnection>(server.address());
    Heard heard;
    MicCapture mic(false, heard.audio(), heard.interrupted(), connection);
    SystemAudioCapture system(heard.audio(), heard.interrupted(), connection);
    MicCapture unreachable(false, heard.audio(), heard.interrupted(),
                           std::make_shared<PulseConnection>("unix:/nonexistent/native"));
    const std::pair<AudioSource*, std::string> cases[] = {
        {&mic, "No microphone is available."},
        {&system, "There's no audio output device."},
        {&unreachable, "Couldn't reach the sound server (error 6)."},
    };
    for (const auto& [source, message] : cases) {
        Pending<void> started(io, source->start());
        const auto failure = test::failure<CaptureError>(started);
        ASSERT_TRUE(failure) << message;
        EXPECT_EQ(std::string(failure->what()), message);
        source->stop();
    }
    EXPECT_EQ(AudioDevices::defaultInputName(connection), std::nullopt);
    EXPECT_EQ(AudioDevices::defaultOutputName(connection), std::nullopt);
    // A server without an input source does not make the microphone available.
    const std::string shared = sharedServer();
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    const auto status = CapturePermission::microphone();
    setenv("PULSE_SERVER", shared.c_str(), 1);
    EXPECT_EQ(status, CapturePermission::Status::unknown);
}

// A program recording from the microphone as a known conferencing app counts as that app: a call
// starts after the debounce and ends the debounce after it closes. Streams that record what is
// played, and the helper's own, do not count.
TEST_F(CaptureTest, AConferencingAppUsingTheMicrophoneIsACallUntilItCloses) {
    REQUIRE_SOUND_SERVER();
    const auto connection = std::make_shared<PulseConnection>(sharedServer());
    const auto record = [&](const std::string& device, const std::string& property) {
        const pid_t pid = fork();
        if (pid == 0) {
            // Gone with the test, even when an assertion ends it early.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const std::string server = "--server=" + sharedServer();
            const std::string source = "--device=" + device;
            execl("/usr/bin/pacat", "pacat", "--record", "--raw", server.c_str(), source.c_str(),
                  ("--property=" + property).c_str(), "/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    const pid_t zoom = record("mic", "application.process.binary=zoom");
    const pid_t meter = record("speakers.monitor", "application.id=com.discordapp.Discord");
    Heard heard;
    MicCapture ownCapture(false, heard.audio(), heard.interrupted(), connection);
    start(ownCapture);

    auto source = std::make_shared<InputStreamProcessSource>(
        [streams = PulseInputStreams(connection)] { return streams.list(); });
    const auto seesZoom = [&] {
        for (const InputProcess& process : source->processesUsingInput()) {
            if (process.pid == zoom && process.bundleID == "us.zoom.xos") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(runUntil(io, seesZoom, seconds(5)));

    CallWatcher watcher(source, getpid(), seconds(3));
    const auto t0 = std::chrono::system_clock::now();
    const CallApp zoomApp{"us.zoom.xos", "Zoom"};
    for (int second = 0; second < 3; ++second) {
        EXPECT_TRUE(watcher.poll(t0 + seconds(second)).empty()) << second;
    }
    EXPECT_EQ(watcher.poll(t0 + seconds(3)), std::vector{CallEvent::started(zoomApp)});

    kill(zoom, SIGKILL);
    waitpid(zoom, nullptr, 0);
    ASSERT_TRUE(runUntil(
        io, [&] { return !seesZoom(); }, seconds(5)));
    EXPECT_TRUE(watcher.poll(t0 + seconds(5)).empty());
    EXPECT_EQ(watcher.poll(t0 + seconds(6)), std::vector{CallEvent::ended(zoomApp)});
    kill(meter, SIGKILL);
    waitpid(meter, nullptr, 0);
}

}  // namespace
}  // namespace tessarin::test
