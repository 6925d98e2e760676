#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"

namespace tessarin {

// Counts the requests read but not yet answered, so that the exit can give them a short grace.
// Confined to the main executor.
class RequestTracker : public SharedObject<RequestTracker> {
  public:
    static constexpr Clock::Duration defaultGrace = std::chrono::milliseconds(250);

    // The grace of a drain runs on `clock`.
    RequestTracker(Token, Executor executor, std::shared_ptr<Clock> clock);

    void begin() { ++pending_; }
    // Never drives the count below zero.
    void end();
    // True when every request ended, false when the grace ran out first. One drain at a time.
    Awaitable<bool> drain(Clock::Duration grace = defaultGrace);

    std::int64_t pending() const { return pending_; }

  private:
    Executor executor_;
    Deadline grace_;
    std::int64_t pending_ = 0;
    // Completes the drain under way: the last end or the grace, whichever comes first.
    std::shared_ptr<OneShot<bool>> drained_;
};

}  // namespace tessarin
