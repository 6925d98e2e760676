#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

// A capture source could not start or keep running; the message is the user-facing text.
class CaptureError : public std::runtime_error {
  public:
    explicit CaptureError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tessarin
