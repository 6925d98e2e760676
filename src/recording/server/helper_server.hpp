#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task.hpp"
#include "core/async/task_group.hpp"
#include "core/json/json_value.hpp"
#include "recording/calls/call_event.hpp"
#include "recording/pipeline/recording_event.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_error.hpp"
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
    // a self-test idle → selfTest → idle. Once shutdown has begun nothing new starts, and the
    // server reports closing as soon as what was running has come to rest.
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

    // Brings the server to rest for the exit: refuses new work, stops background loops, and stops
    // a running recording as record.stop would (within the environment's exitStopLimit); segments
    // that could not be saved are then written as a "transcript.unsaved" event.
    Awaitable<void> shutdown();

    // The token broker of the current recording: "token.update" hands it new tokens and the exit
    // closes it, so nothing stays parked waiting for a token. A recording start installs it.
    void useAuth(std::shared_ptr<HelperAuth> auth) { auth_ = std::move(auth); }

    // Writes the protocol lines of one event of the running recording.
    void recordingEvent(const RecordingEvent& event);
    // The "state" event.
    void emitState();
    // Logs "error " + code and writes the "error" event.
    void emitError(const std::string& code, const std::string& message, bool fatal);
    // The error a failed recording start is reported with.
    static HelperError startError(const std::exception_ptr& error);
    static JSONValue::Object segmentFields(const Segment& segment);

    State state() const { return closing_ && state_ == State::idle ? State::closing : state_; }
    bool isRecording() const { return pipeline_ != nullptr; }
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
    Awaitable<JSONValue> runSelfTest(const JSONValue& params);
    Awaitable<JSONValue> stopSelfTest(const JSONValue& params);
    Awaitable<JSONValue> startRecording(const JSONValue& params);
    Awaitable<JSONValue> stopRecording(const JSONValue& params);

    struct StartRequest;
    static StartRequest startRequest(const JSONValue& params,
                                     const std::optional<std::string>& defaultLanguage);
    void checkCanStart() const;
    Awaitable<void> runStart(StartRequest request);
    void endStart();
    // record.stop, and the exit's stop with a time limit.
    Awaitable<JSONValue> stop(std::optional<Clock::Duration> within = std::nullopt);
    Awaitable<JSONValue> cancelStartInProgress();
    Awaitable<JSONValue> stopPipeline(std::optional<Clock::Duration> within);
    Awaitable<void> closeAuth();
    std::string_view transcriptionText() const;
    static Awaitable<void> waitOn(std::vector<std::shared_ptr<OneShot<void>>>& waiters,
                                  const Executor& executor);
    static void resumeAll(std::vector<std::shared_ptr<OneShot<void>>>& waiters);

    void writeEvent(std::string_view name, JSONValue::Object fields = {});

    HelperEnvironment env_;
    Write write_;
    Log log_;
    State state_ = State::idle;
    // Shutdown has begun; never cleared.
    bool closing_ = false;
    std::shared_ptr<HelperAuth> auth_;
    // The running recording, from a successful start until its stop has ended.
    std::shared_ptr<RecordingPipeline> pipeline_;
    // The recording being started, until its start ends.
    std::shared_ptr<RecordingPipeline> startingPipeline_;
    bool startCancelled_ = false;
    std::vector<std::shared_ptr<OneShot<void>>> startWaiters_;
    std::vector<std::shared_ptr<OneShot<void>>> stopWaiters_;
    // What the "state" event reports.
    RecordingMode mode_ = RecordingMode::realtime;
    RecordingEvent::Health health_;
    std::set<Speaker> transcriptionDown_;
    bool catchingUp_ = false;
    TaskGroup tasks_;
    // The call-detection loop among `tasks_`, while switched on.
    Task<> detection_;
    // The self-test among `tasks_`, while it runs.
    Task<> selfTest_;
};

}  // namespace tessarin
