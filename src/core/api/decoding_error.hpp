#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

// A web-server reply that does not have the shape a model needs (a required field missing or of
// the wrong type, a top level of the wrong kind, an unreadable date).
class DecodingError : public std::runtime_error {
  public:
    explicit DecodingError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tessarin
