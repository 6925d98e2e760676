#include "core/net/permitted_endpoints.hpp"

namespace tessarin {

PermittedEndpoints PermittedEndpoints::of(
    const boost::asio::ip::tcp::resolver::results_type& resolved, bool plain) {
    PermittedEndpoints permitted;
    for (const auto& entry : resolved) {
        const auto address = entry.endpoint().address();
        if (plain && !address.is_loopback()) {
            if (permitted.refused.empty()) {
                permitted.refused = address.to_string();
            }
            continue;
        }
        permitted.endpoints.push_back(entry.endpoint());
    }
    return permitted;
}

}  // namespace tessarin
