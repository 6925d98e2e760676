#pragma once

#include <memory>
#include <vector>

#include "recording/calls/input_stream.hpp"

namespace tessarin {

class PulseConnection;

// The record streams open on the sound server, for call detection.
class PulseInputStreams {
  public:
    // No connection means the process's shared one.
    explicit PulseInputStreams(std::shared_ptr<PulseConnection> connection = nullptr);

    // Blocks for the round trip to the server; throws std::runtime_error when it can't answer.
    std::vector<InputStream> list() const;

  private:
    std::shared_ptr<PulseConnection> connection_;
};

}  // namespace tessarin
