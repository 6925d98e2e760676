#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "recording/calls/call_detector.hpp"
#include "recording/calls/input_process_source.hpp"

namespace tessarin {

// One poll of the processes using audio input, mapped to call apps and debounced.
class CallWatcher {
  public:
    // A missing source counts as one that sees no processes.
    CallWatcher(std::shared_ptr<InputProcessSource> source, std::int32_t ownPID, double debounce)
        : source_(std::move(source)), ownPID_(ownPID), detector_(debounce) {}

    std::vector<CallEvent> poll(CallDetector::Date now);

  private:
    std::shared_ptr<InputProcessSource> source_;
    std::int32_t ownPID_;
    CallDetector detector_;
};

}  // namespace tessarin
