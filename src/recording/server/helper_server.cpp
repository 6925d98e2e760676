#include "recording/server/helper_server.hpp"

#include <unistd.h>
#include <cmath>
#include <utility>

#include <boost/asio/post.hpp>

#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"
#include "core/api/flexible_date.hpp"
#include "core/http/url.hpp"
#include "core/text/unicode_text.hpp"
#include "recording/calls/call_watcher.hpp"
#include "recording/capture/capture_error.hpp"
#include "recording/pipeline/recording_aborted.hpp"
#include "recording/server/helper_auth.hpp"
#include "recording/server/helper_codec.hpp"
#include "recording/server/helper_error.hpp"

namespace tessarin {

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

// There is no prompt on Linux: access is refused when no sound server offers an input.
constexpr const char* micDeniedMessage =
    "Tessarin needs the microphone. Check in your sound settings that an input device is "
    "connected and enabled.";

HelperError cancelledStart() {
    return HelperError("cancelled", "record.stop arrived before the recording started");
}

std::string prefixOf(Speaker speaker) {
    return speaker == Speaker::me ? "Your mic" : "Their side";
}

// Multiplied by 1000, rounded half away from zero, divided by 1000.
double roundedToThousandths(double value) {
    return std::round(value * 1000) / 1000;
}

}  // namespace

struct HelperServer::StartRequest {
    std::string meetingID;
    URL appURL;
    std::string accessToken;
    std::optional<std::string> language;
};

HelperServer::HelperServer(Token, Executor executor, HelperEnvironment env, Write write, Log log)
    : env_(std::move(env)),
      write_(std::move(write)),
      log_(std::move(log)),
      tasks_(std::move(executor)) {}

HelperServer::Handler HelperServer::handlerFor(std::string_view cmd) {
    // The command set: a command is one row here and its handler.
    static constexpr std::pair<std::string_view, Handler> commands[] = {
        {"hello", &HelperServer::hello},
        {"permissions.status", &HelperServer::reportPermissions},
        {"permissions.request", &HelperServer::requestPermission},
        {"record.start", &HelperServer::startRecording},
        {"record.stop", &HelperServer::stopRecording},
        {"token.update", &HelperServer::updateToken},
        {"selftest.run", &HelperServer::runSelfTest},
        {"selftest.stop", &HelperServer::stopSelfTest},
        {"detect.set", &HelperServer::switchDetection},
    };
    for (const auto& [name, handler] : commands) {
        if (name == cmd) {
            return handler;
        }
    }
    return nullptr;
}

Awaitable<void> HelperServer::handle(std::string line) {
    const std::string_view trimmed = UnicodeText::trimWhitespace(line);
    if (trimmed.empty()) {
        co_return;
    }
    auto decoded = HelperCodec::decode(trimmed);
    if (auto* failure = std::get_if<HelperCodec::DecodeFailure>(&decoded)) {
        if (failure->kind == HelperCodec::DecodeFailure::Kind::notJSON) {
            write_(HelperCodec::failure(
                nullptr, HelperError("bad_request", "Each line must be a JSON object")));
        } else {
            write_(HelperCodec::failure(failure->id, HelperError("bad_request", failure->message)));
        }
        co_return;
    }
    HelperRequest request = std::get<HelperRequest>(std::move(decoded));
    // Keep the server alive for the whole request even if its owner lets go meanwhile.
    auto self = shared_from_this();
    std::string answer;
    try {
        JSONValue result = co_await dispatch(request);
        answer = HelperCodec::success(request.id, result);
    } catch (const HelperError& error) {
        log_(request.cmd + " failed: " + error.code());
        answer = HelperCodec::failure(request.id, error);
    } catch (const std::exception& error) {
        answer = HelperCodec::failure(request.id, HelperError("internal", error.what()));
    }
    write_(answer);
}

Awaitable<JSONValue> HelperServer::dispatch(HelperRequest request) {
    const Handler handler = handlerFor(request.cmd);
    if (!handler) {
        throw HelperError("unknown_command", "Unknown cmd " + request.cmd);
    }
    JSONValue result = co_await (this->*handler)(request.params);
    co_return result;
}

Awaitable<JSONValue> HelperServer::hello(const JSONValue& params) {
    const JSONValue* protocol = params.member("protocol");
    const auto version = protocol ? protocol->intValue() : std::nullopt;
    if (version && *version != HelperCodec::protocolVersion) {
        throw HelperError("unsupported_protocol", "This helper speaks protocol " +
                                                      std::to_string(HelperCodec::protocolVersion));
    }
    co_return JSONValue::object({
        {"macos", env_.macos},
        {"protocol", HelperCodec::protocolVersion},
        {"version", env_.version},
    });
}

JSONValue HelperServer::permissions() const {
    const auto status = env_.micStatus ? env_.micStatus() : CapturePermission::Status::unknown;
    return JSONValue::object({
        {"mic", CapturePermission::statusName(status)},
        {"systemAudio", "unknown"},
    });
}

Awaitable<JSONValue> HelperServer::reportPermissions(const JSONValue&) {
    co_return permissions();
}

Awaitable<JSONValue> HelperServer::requestPermission(const JSONValue& params) {
    const JSONValue* kind = params.member("kind");
    const auto name = kind ? kind->stringValue() : std::nullopt;
    if (name == "mic") {
        if (env_.requestMic) {
            co_await env_.requestMic();
        }
        co_return permissions();
    }
    if (name == "systemAudio") {
        if (env_.primeSystemAudio) {
            env_.primeSystemAudio();
        }
        co_return permissions();
    }
    throw HelperError::badParams("kind must be \"mic\" or \"systemAudio\"");
}

Awaitable<JSONValue> HelperServer::updateToken(const JSONValue& params) {
    const JSONValue* token = params.member("accessToken");
    const auto value = token ? token->stringValue() : std::nullopt;
    if (!value || value->empty()) {
        throw HelperError::badParams("accessToken is required");
    }
    // Without a recording there is no broker waiting for a token: the token is dropped.
    if (auto broker = auth_) {
        co_await broker->update(*value);
    }
    co_return JSONValue::Object{};
}

Awaitable<JSONValue> HelperServer::switchDetection(const JSONValue& params) {
    const JSONValue* enabled = params.member("enabled");
    const auto flag = enabled ? enabled->boolValue() : std::nullopt;
    if (!flag) {
        throw HelperError::badParams("enabled must be true or false");
    }
    setDetection(*flag);
    co_return JSONValue::Object{};
}

void HelperServer::setDetection(bool enabled) {
    if (!enabled) {
        detection_.cancel();
        detection_ = {};
        return;
    }
    // A loop that has ended is replaced, not mistaken for one that runs.
    if (isDetecting()) {
        return;
    }
    detection_ = tasks_.spawn(
        "call detection",
        [weak = weak_from_this(), clock = env_.clock, now = env_.now,
         interval = env_.detectInterval,
         watcher = CallWatcher(env_.processSource, static_cast<std::int32_t>(getpid()),
                               env_.callDebounce)]() mutable -> Awaitable<void> {
            bool wasFailing = false;
            for (;;) {
                const std::vector<CallEvent> events = watcher.poll(now());
                {
                    const auto self = weak.lock();
                    if (!self) {
                        co_return;  // nobody is left to report to
                    }
                    const auto& failure = watcher.queryFailure();
                    if (failure && !wasFailing) {
                        self->log_("call detection: listing processes failed: " + *failure);
                    }
                    wasFailing = failure.has_value();
                    for (const CallEvent& event : events) {
                        self->callEvent(event);
                    }
                }
                co_await clock->sleep(interval);
            }
        });
}

void HelperServer::callEvent(const CallEvent& event) {
    const bool started = event.kind == CallEvent::Kind::started;
    log_(std::string(started ? "call started: " : "call ended: ") + event.app.bundleID);
    writeEvent(started ? "call.started" : "call.ended",
               {{"appName", event.app.name}, {"bundleId", event.app.bundleID}});
}

void HelperServer::deviceChanged(const std::optional<std::string>& input,
                                 const std::optional<std::string>& output) {
    JSONValue::Object fields;
    if (input) {
        fields.emplace("input", *input);
    }
    if (output) {
        fields.emplace("output", *output);
    }
    writeEvent("device.changed", std::move(fields));
}

void HelperServer::writeEvent(std::string_view name, JSONValue::Object fields) {
    write_(HelperCodec::event(name, std::move(fields)));
}

// ---- record.start

Awaitable<JSONValue> HelperServer::startRecording(const JSONValue& params) {
    checkCanStart();
    StartRequest request = startRequest(params, env_.defaultLanguage);
    state_ = State::starting;
    startCancelled_ = false;
    std::exception_ptr failure;
    try {
        co_await runStart(std::move(request));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure && closing_) {
        // Started while the exit began: the exit found nothing to stop, so this start stops it.
        const std::optional<Clock::Duration> within = env_.exitStopLimit;
        try {
            co_await stop(within);
        } catch (...) {
            // Its errors are the exit's to ignore; the start itself succeeded.
        }
        co_await throwIfCancelled();
    }
    endStart();
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return JSONValue::object({{"startedAt", FlexibleDate::format(env_.now())}});
}

void HelperServer::checkCanStart() const {
    if (closing_) {
        throw HelperError("shutting_down", "The helper is exiting");
    }
    if (state_ == State::starting || state_ == State::recording || state_ == State::stopping) {
        throw HelperError("busy", "Already recording");
    }
    if (state_ == State::selfTest) {
        throw HelperError("busy", "A self-test is running");
    }
}

HelperServer::StartRequest HelperServer::startRequest(
    const JSONValue& params, const std::optional<std::string>& defaultLanguage) {
    const auto text = [&params](std::string_view key) {
        const JSONValue* value = params.member(key);
        return value ? value->stringValue() : std::nullopt;
    };
    const auto meetingID = text("meetingId");
    if (!meetingID || meetingID->empty()) {
        throw HelperError::badParams("meetingId is required");
    }
    const auto base = text("apiBase");
    const auto appURL = base ? URL::typed(*base) : std::nullopt;
    if (!appURL) {
        throw HelperError::badParams("apiBase must be an https URL (http only for localhost)");
    }
    const auto accessToken = text("accessToken");
    if (!accessToken || accessToken->empty()) {
        throw HelperError::badParams("accessToken is required");
    }
    const auto language = text("language");
    return StartRequest{*meetingID, *appURL, *accessToken, language ? language : defaultLanguage};
}

Awaitable<void> HelperServer::runStart(StartRequest request) {
    bool granted = true;
    if (env_.requestMic) {
        granted = co_await env_.requestMic();
    }
    if (!granted) {
        throw HelperError("mic_denied", micDeniedMessage);
    }
    if (startCancelled_) {
        throw cancelledStart();
    }
    const Executor executor = tasks_.executor();
    const std::weak_ptr<HelperServer> weak = weak_from_this();
    auto auth = HelperAuth::create(executor, env_.clock, request.appURL, request.accessToken,
                                   env_.tokenTimeout, [weak, executor] {
                                       boost::asio::post(executor, [weak] {
                                           if (const auto self = weak.lock()) {
                                               self->writeEvent("token.needed");
                                           }
                                       });
                                   });
    APIClient api(auth, env_.transport, env_.now);
    auto pipeline = RecordingPipeline::create(executor, request.meetingID, std::move(api),
                                              request.language, RecordingOptions{}, env_.pipeline,
                                              [weak](const RecordingEvent& event) {
                                                  if (const auto self = weak.lock()) {
                                                      self->recordingEvent(event);
                                                  }
                                              });
    mode_ = RecordingMode::realtime;
    health_ = {};
    transcriptionDown_.clear();
    catchingUp_ = false;
    auth_ = auth;
    startingPipeline_ = pipeline;

    std::exception_ptr failure;
    try {
        co_await pipeline->start();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        co_await closeAuth();
        auth_.reset();
        bool aborted = startCancelled_;
        try {
            std::rethrow_exception(failure);
        } catch (const RecordingAborted&) {
            aborted = true;
        } catch (...) {
        }
        throw aborted ? cancelledStart() : startError(failure);
    }
    pipeline_ = pipeline;
    state_ = State::recording;
    log_("recording started (" + std::string(recordingModeName(mode_)) + ")");
    emitState();
}

void HelperServer::endStart() {
    startingPipeline_.reset();
    if (state_ == State::starting) {
        state_ = State::idle;
    }
    resumeAll(startWaiters_);
}

HelperError HelperServer::startError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& failure) {
        switch (failure.kind()) {
            case APIError::Kind::server:
                return HelperError(
                    failure.code().value_or("http_" + std::to_string(*failure.status())),
                    failure.what());
            case APIError::Kind::signedOut:
                return HelperError("signed_out", failure.what());
            case APIError::Kind::accessLogin:
                return HelperError("access_login", failure.what());
            case APIError::Kind::decoding:
                break;
        }
        return HelperError("start_failed", failure.what());
    } catch (const CaptureError& failure) {
        return HelperError("capture_failed", failure.what());
    } catch (const std::exception& failure) {
        return HelperError("start_failed", failure.what());
    } catch (...) {
        return HelperError("start_failed", "An unknown error occurred.");
    }
}

// ---- record.stop

Awaitable<JSONValue> HelperServer::stopRecording(const JSONValue&) {
    JSONValue result = co_await stop();
    co_return result;
}

Awaitable<JSONValue> HelperServer::stop(std::optional<Clock::Duration> within) {
    if (state_ == State::starting && !pipeline_) {
        if (!startingPipeline_ || !startingPipeline_->isRunning()) {
            JSONValue cancelled = co_await cancelStartInProgress();
            co_return cancelled;
        }
        co_await waitOn(startWaiters_, tasks_.executor());
    }
    if (!pipeline_ || state_ == State::stopping) {
        throw HelperError("not_recording", "Not recording");
    }
    state_ = State::stopping;
    std::exception_ptr failure;
    JSONValue result;
    try {
        result = co_await stopPipeline(within);
    } catch (...) {
        failure = std::current_exception();
    }
    state_ = State::idle;
    resumeAll(stopWaiters_);
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return result;
}

Awaitable<JSONValue> HelperServer::cancelStartInProgress() {
    startCancelled_ = true;
    if (startingPipeline_) {
        startingPipeline_->abort();
    }
    co_await closeAuth();
    log_("start cancelled by stop");
    co_return JSONValue::object({{"cancelled", true}, {"segments", 0}});
}

Awaitable<JSONValue> HelperServer::stopPipeline(std::optional<Clock::Duration> within) {
    const auto pipeline = pipeline_;
    const RecordingPipeline::StopResult result = co_await pipeline->stop(within);
    const RecordingPipeline::EchoCounts echo = pipeline->echoCounts();
    pipeline_.reset();
    co_await closeAuth();
    auth_.reset();
    log_("recording stopped (" + std::to_string(result.segments) + " segments; echo: " +
         std::to_string(echo.dropped) + " dropped, " + std::to_string(echo.trimmed) + " trimmed)");
    if (result.problem) {
        emitError("save_failed", *result.problem, false);
    }
    emitState();
    JSONValue::Object answer{{"finished", result.finished}, {"segments", result.segments}};
    if (!result.unsaved.empty()) {
        log_(std::to_string(result.unsaved.size()) + " segment(s) unsaved; handed back to the app");
        JSONValue::Array unsaved;
        for (const Segment& segment : result.unsaved) {
            unsaved.emplace_back(segmentFields(segment));
        }
        // The exit's stop has nobody to answer: the segments go out as an event instead.
        if (within) {
            writeEvent("transcript.unsaved",
                       {{"meetingId", pipeline->meetingID()}, {"segments", unsaved}});
        }
        answer.emplace("unsaved", std::move(unsaved));
    }
    co_return JSONValue(std::move(answer));
}

Awaitable<void> HelperServer::closeAuth() {
    if (const auto broker = auth_) {
        co_await broker->close();
    }
}

Awaitable<void> HelperServer::waitOn(std::vector<std::shared_ptr<OneShot<void>>>& waiters,
                                     const Executor& executor) {
    auto waiter = std::make_shared<OneShot<void>>(executor);
    waiters.push_back(waiter);
    co_await waiter->wait();
}

void HelperServer::resumeAll(std::vector<std::shared_ptr<OneShot<void>>>& waiters) {
    for (const auto& waiter : std::exchange(waiters, {})) {
        waiter->resume();
    }
}

// ---- events of a recording

JSONValue::Object HelperServer::segmentFields(const Segment& segment) {
    return {{"seq", segment.seq},
            {"speaker", speakerName(segment.speaker)},
            {"text", segment.text},
            {"startedMs", segment.startedMs},
            {"endedMs", segment.endedMs}};
}

std::string_view HelperServer::transcriptionText() const {
    if (!transcriptionDown_.empty()) {
        return "reconnecting";
    }
    return catchingUp_ ? "catching_up" : "live";
}

void HelperServer::emitState() {
    JSONValue::Object fields{{"recording", pipeline_ != nullptr},
                             {"mode", recordingModeName(mode_)},
                             {"mic", sourceHealthName(health_.mic)},
                             {"system", sourceHealthName(health_.system)},
                             {"transcription", transcriptionText()}};
    if (pipeline_) {
        fields.emplace("meetingId", pipeline_->meetingID());
    }
    writeEvent("state", std::move(fields));
}

void HelperServer::emitError(const std::string& code, const std::string& message, bool fatal) {
    log_("error " + code);
    writeEvent("error", {{"code", code}, {"message", message}, {"fatal", fatal}});
}

void HelperServer::recordingEvent(const RecordingEvent& event) {
    const std::string_view transcriptionBefore = transcriptionText();
    std::visit(
        Overloaded{
            [this](const RecordingEvent::Mode& e) {
                mode_ = e.mode;
                if (pipeline_) {
                    emitState();
                }
            },
            [this](const RecordingEvent::Delta& e) {
                writeEvent(
                    "transcript.delta",
                    {{"speaker", speakerName(e.speaker)}, {"text", e.text}, {"itemId", e.itemID}});
            },
            [this](const RecordingEvent::TranscriptSegment& e) {
                writeEvent("transcript.segment", segmentFields(e.segment));
            },
            [this](const RecordingEvent::TranscriptionProblem& e) {
                if (e.message) {
                    emitError("transcription", prefixOf(e.speaker) + ": " + *e.message, false);
                    transcriptionDown_.insert(e.speaker);
                } else {
                    transcriptionDown_.erase(e.speaker);
                }
            },
            [this](const RecordingEvent::CaptureProblem& e) {
                if (e.message) {
                    emitError("capture", *e.message, false);
                }
            },
            [this](const RecordingEvent::Health& e) {
                health_ = e;
                if (pipeline_) {
                    emitState();
                }
            },
            [this](const RecordingEvent::Levels& e) {
                writeEvent("levels", {{"mic", roundedToThousandths(e.mic)},
                                      {"system", roundedToThousandths(e.system)}});
            },
            [this](const RecordingEvent::SaveProblem& e) {
                emitError("save_failed", e.message, false);
            },
            [this](const RecordingEvent::FallbackBacklog& e) {
                emitError("fallback_backlog", prefixOf(e.speaker) + ": " + e.message, false);
            },
            [this](const RecordingEvent::CatchingUp& e) { catchingUp_ = e.active; },
            [this](const RecordingEvent::CatchUpProblem& e) {
                emitError("transcription", prefixOf(e.speaker) + " (catching up): " + e.message,
                          false);
            },
        },
        event.value);
    const bool transcriptionEvent =
        std::holds_alternative<RecordingEvent::TranscriptionProblem>(event.value) ||
        std::holds_alternative<RecordingEvent::CatchingUp>(event.value);
    if (transcriptionEvent && transcriptionText() != transcriptionBefore && pipeline_) {
        emitState();
    }
}

// ---- self-test

Awaitable<JSONValue> HelperServer::runSelfTest(const JSONValue& params) {
    if (closing_) {
        throw HelperError("shutting_down", "The helper is exiting");
    }
    if (state_ == State::starting || state_ == State::recording || state_ == State::stopping) {
        throw HelperError("busy", "Recording; stop first");
    }
    if (state_ == State::selfTest) {
        throw HelperError("busy", "A self-test is already running");
    }
    const JSONValue* given = params.member("seconds");
    const auto seconds =
        !given || given->isNull() ? std::optional<std::int64_t>(60) : given->intValue();
    if (!seconds || *seconds < 1 || *seconds > 60) {
        throw HelperError::badParams("seconds must be 1–60");
    }
    auto test =
        std::make_shared<SelfTest>(env_.pipeline, false, env_.requestMic, env_.selfTestTick);
    const auto onLevels = [weak = weak_from_this()](double mic, double system) {
        if (auto self = weak.lock()) {
            self->writeEvent("levels", {{"mic", roundedToThousandths(mic)},
                                        {"system", roundedToThousandths(system)}});
        }
    };
    const auto onProgress = [weak = weak_from_this()](const SelfTest::Report& report) {
        const JSONValue json = report.json();
        if (auto self = weak.lock(); self && json.isObject()) {
            self->writeEvent("selftest.progress", *json.objectValue());
        }
    };
    auto report = std::make_shared<std::optional<SelfTest::Report>>();
    state_ = State::selfTest;
    // A stopped test ends its ticks early and still reports what it measured.
    selfTest_ = tasks_.spawn("the self-test",
                             [test, report, seconds = static_cast<int>(*seconds), onLevels,
                              onProgress]() -> Awaitable<void> {
                                 *report = co_await test->run(seconds, onLevels, {}, onProgress);
                             });
    std::exception_ptr failure;
    try {
        co_await selfTest_.result();
    } catch (...) {
        failure = std::current_exception();
    }
    selfTest_ = {};
    state_ = State::idle;
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!*report) {
        throwCancelled();  // stopped before it began
    }
    log_("self-test: mic " + std::string(SelfTest::statusName((*report)->mic.status)) +
         ", system " + std::string(SelfTest::statusName((*report)->system.status)));
    co_return (*report)->json();
}

Awaitable<JSONValue> HelperServer::stopSelfTest(const JSONValue&) {
    if (!selfTest_) {
        co_return JSONValue::object({{"stopped", false}});
    }
    const Task<> running = selfTest_;
    running.cancel();
    co_await running.join();
    co_return JSONValue::object({{"stopped", true}});
}

// ---- exit

Awaitable<void> HelperServer::shutdown() {
    closing_ = true;
    setDetection(false);
    // Its selftest.run still answers, with what it measured.
    selfTest_.cancel();
    co_await closeAuth();
    if (state_ == State::stopping) {
        co_await waitOn(stopWaiters_, tasks_.executor());
        co_return;
    }
    if (pipeline_ || state_ == State::starting) {
        const std::optional<Clock::Duration> within = env_.exitStopLimit;
        try {
            co_await stop(within);
        } catch (...) {
            // The exit goes on whatever the stop ran into.
        }
        co_await throwIfCancelled();
    }
}

}  // namespace tessarin
