#include "recording/server/helper_server.hpp"

#include <unistd.h>

#include <boost/asio/this_coro.hpp>

#include "core/text/unicode_text.hpp"
#include "recording/calls/call_watcher.hpp"
#include "recording/server/helper_auth.hpp"
#include "recording/server/helper_codec.hpp"
#include "recording/server/helper_error.hpp"

namespace tessarin {

std::shared_ptr<HelperServer> HelperServer::create(Executor executor, HelperEnvironment env,
                                                   Write write, Log log) {
    return std::shared_ptr<HelperServer>(
        new HelperServer(std::move(executor), std::move(env), std::move(write), std::move(log)));
}

HelperServer::HelperServer(Executor executor, HelperEnvironment env, Write write, Log log)
    : executor_(std::move(executor)),
      env_(std::move(env)),
      write_(std::move(write)),
      log_(std::move(log)) {}

HelperServer::~HelperServer() {
    detectTask_.cancel();
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
    std::optional<std::string> line_out;
    try {
        JSONValue result = co_await dispatch(request);
        line_out = HelperCodec::success(request.id, result);
    } catch (const HelperError& error) {
        log_(request.cmd + " failed: " + error.code());
        line_out = HelperCodec::failure(request.id, error);
    } catch (const std::exception& error) {
        line_out = HelperCodec::failure(request.id, HelperError("internal", error.what()));
    }
    write_(*line_out);
}

Awaitable<JSONValue> HelperServer::dispatch(HelperRequest request) {
    const std::string& cmd = request.cmd;
    if (cmd == "hello") {
        co_return hello(request.params);
    }
    if (cmd == "permissions.status") {
        co_return permissions();
    }
    if (cmd == "permissions.request") {
        JSONValue report = co_await requestPermission(request.params);
        co_return report;
    }
    if (cmd == "token.update") {
        JSONValue result = co_await updateToken(request.params);
        co_return result;
    }
    if (cmd == "detect.set") {
        co_return switchDetection(request.params);
    }
    throw HelperError("unknown_command", "Unknown cmd " + cmd);
}

JSONValue HelperServer::hello(const JSONValue& params) const {
    const JSONValue* protocol = params.member("protocol");
    if (protocol) {
        auto version = protocol->intValue();
        if (version && *version != HelperCodec::protocolVersion) {
            throw HelperError(
                "unsupported_protocol",
                "This helper speaks protocol " + std::to_string(HelperCodec::protocolVersion));
        }
    }
    return JSONValue::object({
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

Awaitable<JSONValue> HelperServer::requestPermission(const JSONValue& params) {
    const JSONValue* kind = params.member("kind");
    const auto name = kind ? kind->stringValue() : std::nullopt;
    if (name == "mic") {
        auto self = shared_from_this();
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

JSONValue HelperServer::switchDetection(const JSONValue& params) {
    const JSONValue* enabled = params.member("enabled");
    const auto flag = enabled ? enabled->boolValue() : std::nullopt;
    if (!flag) {
        throw HelperError::badParams("enabled must be true or false");
    }
    setDetection(*flag);
    return JSONValue::Object{};
}

void HelperServer::setDetection(bool enabled) {
    if (!enabled) {
        detectTask_.cancel();
        detectTask_ = {};
        return;
    }
    if (!detectTask_) {
        detectTask_ = startDetectionLoop();
    }
}

Task<> HelperServer::startDetectionLoop() {
    auto watcher = std::make_shared<CallWatcher>(
        env_.processSource, static_cast<std::int32_t>(getpid()), env_.callDebounce);
    return Task<>::spawn(
        executor_, "call detection",
        [weak = weak_from_this(), watcher, clock = env_.clock, now = env_.now,
         interval = env_.detectInterval]() -> Awaitable<void> {
            for (;;) {
                auto state = co_await boost::asio::this_coro::cancellation_state;
                if (state.cancelled() != boost::asio::cancellation_type::none) {
                    co_return;
                }
                for (const CallEvent& event : watcher->poll(now())) {
                    auto self = weak.lock();
                    if (!self) {
                        co_return;  // nobody is left to report to or to stop this loop
                    }
                    self->callEvent(event);
                }
                if (weak.expired()) {
                    co_return;
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
    closing_ = true;
    setDetection(false);
    if (auto broker = auth_) {
        co_await broker->close();
    }
}

}  // namespace tessarin
