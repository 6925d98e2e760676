// The sound server's side of CapturePermission. Linux asks no permission for the microphone: the
// helper can use it when a sound server with an input source answers.

#include "recording/capture/capture_permission.hpp"

#include "platform/linux/pulse_queries.hpp"

namespace tessarin {

namespace {

PulseConnection::Request<bool> hasInputSource() {
    return [](pa_context* context, PulseConnection::Done<bool> done) {
        PulseQueries::defaultDeviceName(
            context, true, [done](std::optional<std::string> name) { done(name.has_value()); });
    };
}

}  // namespace

CapturePermission::Status CapturePermission::microphone() {
    const auto answer =
        PulseConnection::shared()->wait<bool>(hasInputSource(), std::chrono::seconds(2));
    return answer.value.value_or(false) ? Status::granted : Status::unknown;
}

Awaitable<bool> CapturePermission::ensureMicrophone() {
    const auto connection = PulseConnection::shared();
    const PulseConnection::Request<bool> request = hasInputSource();
    const auto answer = co_await connection->ask<bool>(request);
    co_return answer.value.value_or(false);
}

void CapturePermission::primeSystemAudio() {
    // A monitor needs no permission: there is nothing to prime.
}

}  // namespace tessarin
