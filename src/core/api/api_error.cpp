#include "core/api/api_error.hpp"

namespace tessarin {

APIError APIError::server(int status, std::optional<std::string> code,
                          std::optional<std::string> message) {
    APIError error(Kind::server);
    error.status_ = status;
    error.code_ = std::move(code);
    error.message_ = std::move(message);
    error.describe();
    return error;
}

APIError APIError::decoding(std::string typeName) {
    APIError error(Kind::decoding);
    error.typeName_ = std::move(typeName);
    error.describe();
    return error;
}

APIError APIError::signedOut() {
    APIError error(Kind::signedOut);
    error.describe();
    return error;
}

APIError APIError::accessLogin() {
    APIError error(Kind::accessLogin);
    error.describe();
    return error;
}

std::optional<int> APIError::status() const {
    return kind_ == Kind::server ? std::optional<int>(status_) : std::nullopt;
}

bool APIError::isPermanentRefusal() const {
    return kind_ == Kind::server && status_ >= 400 && status_ <= 499 && status_ != 401 &&
           status_ != 408 && status_ != 409 && status_ != 429;
}

bool APIError::isRealtimeUnavailable() const {
    if (kind_ != Kind::server) {
        return false;
    }
    if (code_ == "ai_route_not_allowed") {
        return true;
    }
    if (code_ == "ai_provider_not_configured") {
        return false;
    }
    return status_ == 403 || status_ == 501 || status_ == 502 || status_ == 503;
}

void APIError::describe() {
    switch (kind_) {
        case Kind::server:
            description_ =
                message_ ? *message_ : "Notara answered HTTP " + std::to_string(status_) + ".";
            break;
        case Kind::decoding:
            description_ = "Notara sent something unexpected (" + typeName_ + ").";
            break;
        case Kind::signedOut:
            description_ = "You're signed out. Sign in again.";
            break;
        case Kind::accessLogin:
            description_ =
                "Gateway requires Sign in with Tessarin. Its Cloudflare Access login stopped the "
                "request, so an access token alone can't reach Notara.";
            break;
    }
}

}  // namespace tessarin
