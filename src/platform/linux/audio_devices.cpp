#include "platform/linux/audio_devices.hpp"

#include "platform/linux/pulse_queries.hpp"

namespace tessarin {

namespace {

constexpr std::chrono::milliseconds answerLimit = std::chrono::seconds(2);

std::optional<std::string> defaultName(std::shared_ptr<PulseConnection> connection, bool input) {
    if (!connection) {
        connection = PulseConnection::shared();
    }
    return connection
        ->wait<std::string>(
            [input](pa_context* context, PulseConnection::Done<std::string> done) {
                PulseQueries::defaultDeviceName(context, input, std::move(done));
            },
            answerLimit)
        .value;
}

}  // namespace

std::optional<std::string> AudioDevices::defaultInputName(
    std::shared_ptr<PulseConnection> connection) {
    return defaultName(std::move(connection), true);
}

std::optional<std::string> AudioDevices::defaultOutputName(
    std::shared_ptr<PulseConnection> connection) {
    return defaultName(std::move(connection), false);
}

}  // namespace tessarin
