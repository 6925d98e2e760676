#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "recording/calls/input_process_source.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_server.hpp"
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

// A server over substitutes: a scripted process list, a microphone prompt the test answers,
// recordings on the rig's scripted capture and channels, and every written line and log message.
struct ServerFixture : testing::Test, RecordingRig {
    std::shared_ptr<ScriptedProcessSource> processes = std::make_shared<ScriptedProcessSource>();
    std::shared_ptr<OneShot<bool>> micPrompt = std::make_shared<OneShot<bool>>(io.get_executor());
    int micRequests = 0;
    std::vector<std::string> lines;
    std::vector<std::string> logs;
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
        env.pipeline = dependencies();
        env.now = [clock = clock] {  // the wall clock moves with virtual time
            return std::chrono::system_clock::time_point(clock->now().time_since_epoch());
        };
        return env;
    }
    void SetUp() override { makeServer(environment()); }
    void makeServer(HelperEnvironment env) {
        server = HelperServer::create(
            io.get_executor(), std::move(env),
            [this](const std::string& line) { lines.push_back(line); },
            [this](const std::string& message) { logs.push_back(message); });
    }

    void send(std::string line) {
        Task<>::spawn(io.get_executor(), "test",
                      [server = server, line = std::move(line)]() -> Awaitable<void> {
                          co_await server->handle(line);
                      });
        clock->runReady();
    }
    std::vector<std::string> takeLines() { return std::exchange(lines, {}); }

    static std::string request(const std::string& cmd, const std::string& params = "{}",
                               int id = 1) {
        return R"({"id":)" + std::to_string(id) + R"(,"cmd":")" + cmd + R"(","params":)" + params +
               "}";
    }
    static std::string success(const std::string& result, int id = 1) {
        return R"({"id":)" + std::to_string(id) + R"(,"ok":true,"result":)" + result + "}";
    }
    static std::string refusal(const std::string& code, const std::string& message, int id = 1) {
        return R"({"error":{"code":")" + code + R"(","message":")" + message + R"("},"id":)" +
               std::to_string(id) + R"(,"ok":false})";
    }
    bool driveUntilLine(const std::string& text) {
        return drive([&] {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            });
        });
    }
};

}  // namespace tessarin::test
