#pragma once

#include <stdexcept>

namespace tessarin {

// A recording's start gave up because a stop arrived first.
class RecordingAborted : public std::runtime_error {
  public:
    RecordingAborted() : std::runtime_error("The recording was stopped before it started.") {}
};

}  // namespace tessarin
