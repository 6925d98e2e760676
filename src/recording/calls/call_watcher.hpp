#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recording/calls/call_detector.hpp"
#include "recording/calls/input_process_source.hpp"

namespace tessarin {

// One poll of the processes using audio input, mapped to call apps and debounced.
class CallWatcher {
  public:
    // A missing source counts as one that sees no processes.
    CallWatcher(std::shared_ptr<InputProcessSource> source, std::int32_t ownPID,
                Clock::Duration debounce)
        : source_(std::move(source)), ownPID_(ownPID), detector_(debounce) {}

    // A process list that cannot be read counts as no processes: after the debounce every active
    // app is reported as ended, and the next poll tries again.
    std::vector<CallEvent> poll(CallDetector::Date now);

    // Why the last poll could not read the process list; nothing when it could.
    const std::optional<std::string>& queryFailure() const { return queryFailure_; }

  private:
    std::vector<InputProcess> processesUsingInput();

    std::shared_ptr<InputProcessSource> source_;
    std::int32_t ownPID_;
    CallDetector detector_;
    std::optional<std::string> queryFailure_;
};

}  // namespace tessarin
