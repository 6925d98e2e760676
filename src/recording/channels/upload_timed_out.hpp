#pragma once

#include <stdexcept>

namespace tessarin {

// An upload attempt of the fallback channel took longer than its time limit.
class UploadTimedOut : public std::runtime_error {
  public:
    UploadTimedOut() : std::runtime_error("The upload took too long.") {}
};

}  // namespace tessarin
