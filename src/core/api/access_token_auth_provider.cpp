#include "core/api/access_token_auth_provider.hpp"

#include "core/api/auth_error.hpp"

namespace tessarin {

Awaitable<std::string> AccessTokenAuthProvider::accessToken() {
    co_return token_;
}

Awaitable<std::string> AccessTokenAuthProvider::tokenRejected(std::string) {
    throw AuthError::signedOut();
    co_return std::string();
}

}  // namespace tessarin
