#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/async/shared_object.hpp"
#include "core/async/task.hpp"
#include "core/async/task_group.hpp"
#include "core/json/json_value.hpp"
#include "recording/calls/call_event.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_request.hpp"

namespace tessarin {

class HelperAuth;

// Owns the helper's protocol state: answers every request line with exactly one response line and
// writes the unsolicited events. Confined to the main executor; requests run as concurrent tasks
// that interleave only where they wait.
class HelperServer : public SharedObject<HelperServer> {
  public:
    using Write = std::function<void(const std::string& line)>;
    using Log = std::function<void(const std::string& message)>;

    // What the server is doing. A recording goes idle → starting → recording → stopping → idle,
    // a self-test idle → selfTest → idle; closing is final.
    enum class State { idle, starting, recording, stopping, selfTest, closing };

    HelperServer(Token, Executor executor, HelperEnvironment env, Write write, Log log);
    HelperServer(const HelperServer&) = delete;
    HelperServer& operator=(const HelperServer&) = delete;

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

    State state() const { return state_; }
    bool isDetecting() const { return detection_ && !detection_.done(); }

  private:
    // A command's handler: its result for the request's params, or a thrown error.
    using Handler = Awaitable<JSONValue> (HelperServer::*)(const JSONValue& params);
    static Handler handlerFor(std::string_view cmd);

    Awaitable<JSONValue> hello(const JSONValue& params);
    Awaitable<JSONValue> reportPermissions(const JSONValue& params);
    Awaitable<JSONValue> requestPermission(const JSONValue& params);
    Awaitable<JSONValue> updateToken(const JSONValue& params);
    Awaitable<JSONValue> switchDetection(const JSONValue& params);

    void writeEvent(std::string_view name, JSONValue::Object fields = {});

    HelperEnvironment env_;
    Write write_;
    Log log_;
    State state_ = State::idle;
    std::shared_ptr<HelperAuth> auth_;
    TaskGroup tasks_;
    // The call-detection loop among `tasks_`, while switched on.
    Task<> detection_;
};

}  // namespace tessarin
