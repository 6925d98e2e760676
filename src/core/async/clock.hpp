#pragma once

#include <chrono>

#include "core/async/awaitable.hpp"

namespace tessarin {

// The monotonic clock every wait and time-out of the helper goes through. Production uses
// SteadyClock; tests use ManualClock, which moves virtual time forward on demand so that long
// back-offs and time-outs run in microseconds and in a fixed order.
class Clock {
  public:
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;

    // Suspends the calling task for `duration` (zero or negative: until the next turn of the
    // executor). A cancelled task's sleep ends early by throwing operation_aborted, which ends
    // the task.
    virtual Awaitable<void> sleep(Duration duration) = 0;
};

// Seconds as the helper's settings write them (0.3, 2.0 …) in the clock's duration.
Clock::Duration seconds(double value);

}  // namespace tessarin
