#include "platform/linux/pulse_input_streams.hpp"

#include <pulse/error.h>
#include <stdexcept>

#include "platform/linux/pulse_queries.hpp"

namespace tessarin {

PulseInputStreams::PulseInputStreams(std::shared_ptr<PulseConnection> connection)
    : connection_(connection ? std::move(connection) : PulseConnection::shared()) {}

std::vector<InputStream> PulseInputStreams::list() const {
    auto listed = connection_->wait<std::vector<InputStream>>(&PulseQueries::recordStreams,
                                                              std::chrono::seconds(2));
    if (!listed.value) {
        throw std::runtime_error(std::string("the sound server's record streams: ") +
                                 pa_strerror(listed.error));
    }
    return std::move(*listed.value);
}

}  // namespace tessarin
