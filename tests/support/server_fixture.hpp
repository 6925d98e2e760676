#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "core/log/diagnostics.hpp"
#include "recording/calls/input_process_source.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_server.hpp"
#include "support/io_driver.hpp"
#include "support/loopback_notara.hpp"
#include "support/scripted_capture.hpp"
#include "support/scripted_channel.hpp"

namespace tessarin::test {

// A process list the test rewrites between polls; it fails while `failure` is set.
class ScriptedProcessSource final : public InputProcessSource {
  public:
    std::vector<InputProcess> processes;
    std::optional<std::string> failure;
    int polls = 0;
    std::vector<InputProcess> processesUsingInput() override {
        ++polls;
        if (failure) {
            throw std::runtime_error(*failure);
        }
        return processes;
    }
};

// A server over substitutes: virtual time, a scripted process list, a microphone prompt the test
// answers, recordings over scripted capture and channels that save to the loopback stand-in, and
// every written line, log message and diagnostic captured.
struct ServerFixture : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    LoopbackNotara notara{io, clock};
    ScriptedCapture mic;
    ScriptedCapture system;
    ScriptedChannels channels;
    std::shared_ptr<ScriptedProcessSource> processes = std::make_shared<ScriptedProcessSource>();
    std::shared_ptr<OneShot<bool>> micPrompt = std::make_shared<OneShot<bool>>(io.get_executor());
    int micRequests = 0;
    std::vector<std::string> lines;
    std::vector<std::string> logs;
    std::vector<std::string> diagnostics;
    std::shared_ptr<HelperServer> server;

    HelperEnvironment environment() {
        HelperEnvironment env;
        env.version = "0.1.0";
        env.macos = "6.1.0";
        env.micStatus = [] { return CapturePermission::Status::denied; };
        env.requestMic = [this, prompt = micPrompt]() -> Awaitable<bool> {
            ++micRequests;
            co_return co_await prompt->wait();
        };
        env.primeSystemAudio = [this] { logs.push_back("primed"); };
        env.processSource = processes;
        env.clock = clock;
        env.transport = notara.client(io, clock).transport();
        env.pipeline.clock = clock;
        env.pipeline.makeMic = [this](bool, AudioSource::AudioCallback audio,
                                      AudioSource::InterruptionCallback interruptions) {
            return mic.open(std::move(audio), std::move(interruptions));
        };
        env.pipeline.makeSystem = [this](AudioSource::AudioCallback audio,
                                         AudioSource::InterruptionCallback interruptions) {
            return system.open(std::move(audio), std::move(interruptions));
        };
        env.pipeline.makeRealtime = channels.realtime();
        env.pipeline.makeFallback = channels.chunks(ScriptedChannel::Kind::fallback);
        env.now = [clock = clock] {  // the wall clock moves with virtual time
            return std::chrono::system_clock::time_point(clock->now().time_since_epoch());
        };
        return env;
    }

    void SetUp() override {
        Diagnostics::setSink([this](std::string_view line) { diagnostics.emplace_back(line); });
        makeServer(environment());
    }
    void TearDown() override { Diagnostics::setSink({}); }

    void makeServer(HelperEnvironment env) {
        server = HelperServer::create(
            io.get_executor(), std::move(env),
            [this](const std::string& line) { lines.push_back(line); },
            [this](const std::string& message) { logs.push_back(message); });
    }

    // Starts handling a line and runs everything that is ready.
    void send(std::string line) {
        Task<>::spawn(io.get_executor(), "test",
                      [server = server, line = std::move(line)]() -> Awaitable<void> {
                          co_await server->handle(line);
                      });
        clock->runReady();
    }

    std::vector<std::string> takeLines() { return std::exchange(lines, {}); }

    // Runs real I/O and moves virtual time in steps until `done` holds.
    bool drive(const std::function<bool()>& done, Clock::Duration limit = std::chrono::minutes(2),
               Clock::Duration step = std::chrono::milliseconds(100)) {
        return driveUntil(io, *clock, done, limit, step, std::chrono::milliseconds(5));
    }
    // Runs until a line containing `text` has been written.
    bool driveUntilLine(const std::string& text) {
        return drive([&] {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            });
        });
    }
};

}  // namespace tessarin::test
