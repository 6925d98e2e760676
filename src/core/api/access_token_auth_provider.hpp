#pragma once

#include <string>

#include "core/api/auth_provider.hpp"

namespace tessarin {

// A fixed token that can't be renewed: a refusal means signed out.
class AccessTokenAuthProvider final : public AuthProvider {
  public:
    AccessTokenAuthProvider(URL appURL, std::string token)
        : appURL_(std::move(appURL)), token_(std::move(token)) {}

    const URL& appURL() const override { return appURL_; }
    Awaitable<std::string> accessToken() override;
    Awaitable<std::string> tokenRejected(std::string refusedToken) override;

  private:
    URL appURL_;
    std::string token_;
};

}  // namespace tessarin
