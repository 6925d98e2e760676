#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

// Why no access token could be had. `what()` is the description the user sees.
class AuthError : public std::runtime_error {
  public:
    enum class Kind { message, signedOut };

    static AuthError message(const std::string& text) { return AuthError(Kind::message, text); }
    static AuthError signedOut() {
        return AuthError(Kind::signedOut, "You're signed out. Sign in again.");
    }

    Kind kind() const { return kind_; }

  private:
    AuthError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

}  // namespace tessarin
