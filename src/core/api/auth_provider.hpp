#pragma once

#include <string>

#include "core/async/awaitable.hpp"
#include "core/http/url.hpp"

namespace tessarin {

// Where the web server is and which bearer token to send it. Shared by reference between the
// requests of one recording.
class AuthProvider {
  public:
    virtual ~AuthProvider() = default;

    // The web server's base URL.
    virtual const URL& appURL() const = 0;
    // The token to use now.
    virtual Awaitable<std::string> accessToken() = 0;
    // Given the token the server refused with 401, a token to retry with; fails with
    // AuthError::signedOut when there is none.
    virtual Awaitable<std::string> tokenRejected(std::string refusedToken) = 0;
};

}  // namespace tessarin
