#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/async/task.hpp"
#include "core/json/json_value.hpp"
#include "recording/calls/call_event.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_request.hpp"

namespace tessarin {

// Owns the helper's protocol state: answers every request line with exactly one response line and
// writes the unsolicited events. Confined to the main executor; requests run as concurrent tasks
// that interleave only where they wait.
class HelperAuth;

class HelperServer : public std::enable_shared_from_this<HelperServer> {
  public:
    using Write = std::function<void(const std::string& line)>;
    using Log = std::function<void(const std::string& message)>;

    static std::shared_ptr<HelperServer> create(Executor executor, HelperEnvironment env,
                                                Write write, Log log);
    HelperServer(const HelperServer&) = delete;
    HelperServer& operator=(const HelperServer&) = delete;
    ~HelperServer();

    // Decodes one line, runs its command and writes the response (none for a blank line).
    Awaitable<void> handle(std::string line);
    // Runs one decoded request: its result, or a thrown HelperError (or any other error).
    Awaitable<JSONValue> dispatch(HelperRequest request);

    JSONValue permissions() const;

    void setDetection(bool enabled);
    void callEvent(const CallEvent& event);
    void deviceChanged(const std::optional<std::string>& input,
                       const std::optional<std::string>& output);

    // Brings the server to rest for the exit: refuses new work and stops background loops.
    Awaitable<void> shutdown();

    // The token broker of the current recording: "token.update" hands it new tokens and the exit
    // closes it, so nothing stays parked waiting for a token. A recording start installs it.
    void useAuth(std::shared_ptr<HelperAuth> auth) { auth_ = std::move(auth); }
    const std::shared_ptr<HelperAuth>& auth() const { return auth_; }

    bool isRecording() const { return false; }
    bool isDetecting() const { return static_cast<bool>(detectTask_); }
    bool isClosing() const { return closing_; }
    const HelperEnvironment& environment() const { return env_; }

  private:
    HelperServer(Executor executor, HelperEnvironment env, Write write, Log log);

    JSONValue hello(const JSONValue& params) const;
    Awaitable<JSONValue> requestPermission(const JSONValue& params);
    Awaitable<JSONValue> updateToken(const JSONValue& params);
    JSONValue switchDetection(const JSONValue& params);

    void writeEvent(std::string_view name, JSONValue::Object fields = {});
    Task<> startDetectionLoop();

    Executor executor_;
    HelperEnvironment env_;
    Write write_;
    Log log_;
    bool closing_ = false;
    std::shared_ptr<HelperAuth> auth_;
    Task<> detectTask_;
};

}  // namespace tessarin
