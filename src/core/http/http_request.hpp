#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/async/clock.hpp"
#include "core/http/url.hpp"

namespace tessarin {

// One fully built HTTP request for an HTTPTransport.
struct HTTPRequest {
    std::string method = "GET";
    URL url;
    // Sent in this order after the Host and User-Agent that the transport adds. Content-Length is
    // added for a body.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::vector<std::uint8_t>> body;
    // The request fails with HTTPTransportError::Kind::timedOut once no byte has moved either way
    // for this long (resolving, connecting and the TLS handshake count as one wait each). A slow
    // but moving upload or answer may take as long as it needs.
    Clock::Duration inactivityLimit = std::chrono::seconds(30);
};

}  // namespace tessarin
