#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

// A protocol error: what a failure line carries. Command handlers throw it; the server reports it
// as is (anything else it reports as "internal").
class HelperError : public std::runtime_error {
  public:
    HelperError(std::string code, std::string message)
        : std::runtime_error(message), code_(std::move(code)), message_(std::move(message)) {}

    static HelperError badParams(std::string message) {
        return HelperError("bad_params", std::move(message));
    }

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }

    bool operator==(const HelperError& other) const {
        return code_ == other.code_ && message_ == other.message_;
    }

  private:
    std::string code_;
    std::string message_;
};

}  // namespace tessarin
