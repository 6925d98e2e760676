#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/http/url.hpp"

namespace tessarin {

// One fully built HTTP request for an HTTPTransport.
struct HTTPRequest {
    std::string method = "GET";
    URL url;
    // Sent in this order after Host (which the transport adds). Content-Length is added for a body.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::vector<std::uint8_t>> body;
    // The whole exchange (resolving, connecting, TLS, sending, the complete response) must end
    // within this, or the request fails with HTTPTransportError::Kind::timedOut.
    std::chrono::steady_clock::duration timeout = std::chrono::seconds(30);
};

}  // namespace tessarin
