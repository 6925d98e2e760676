#pragma once

#include <cstdint>
#include <vector>

#include "core/async/awaitable.hpp"
#include "core/http/http_request.hpp"
#include "core/http/http_response.hpp"

namespace tessarin {

// Performs one HTTP exchange. Any status (3xx, 4xx, 5xx included) is a normal result; redirects
// are returned, never followed. Fails with HTTPTransportError when no complete response arrives,
// or with operation_aborted when the calling task is cancelled. May be called concurrently.
class HTTPTransport {
  public:
    struct Result {
        std::vector<std::uint8_t> body;
        HTTPResponse response;
    };

    virtual ~HTTPTransport() = default;
    virtual Awaitable<Result> send(HTTPRequest request) = 0;
};

}  // namespace tessarin
