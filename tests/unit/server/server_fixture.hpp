#pragma once

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
// answers, and every written line, log message and diagnostic captured.
struct ServerFixture : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    std::shared_ptr<ScriptedProcessSource> processes = std::make_shared<ScriptedProcessSource>();
    std::shared_ptr<OneShot<bool>> micPrompt = std::make_shared<OneShot<bool>>(io.get_executor());
    std::vector<std::string> lines;
    std::vector<std::string> logs;
    std::vector<std::string> diagnostics;
    std::shared_ptr<HelperServer> server;

    HelperEnvironment environment() {
        HelperEnvironment env;
        env.version = "0.1.0";
        env.macos = "6.1.0";
        env.micStatus = [] { return CapturePermission::Status::denied; };
        env.requestMic = [prompt = micPrompt]() -> Awaitable<bool> {
            co_return co_await prompt->wait();
        };
        env.primeSystemAudio = [this] { logs.push_back("primed"); };
        env.processSource = processes;
        env.clock = clock;
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
};

}  // namespace tessarin::test
