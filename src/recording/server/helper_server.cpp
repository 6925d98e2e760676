#include "recording/server/helper_server.hpp"

#include <unistd.h>
#include <utility>

#include "core/text/unicode_text.hpp"
#include "recording/calls/call_watcher.hpp"
#include "recording/server/helper_auth.hpp"
#include "recording/server/helper_codec.hpp"
#include "recording/server/helper_error.hpp"

namespace tessarin {

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
        {"token.update", &HelperServer::updateToken},
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

Awaitable<void> HelperServer::shutdown() {
    state_ = State::closing;
    setDetection(false);
    if (auto broker = auth_) {
        co_await broker->close();
    }
}

}  // namespace tessarin
