#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"

namespace tessarin {

// Counts the requests read but not yet answered, so that the exit can give them a short grace.
// Confined to the main executor.
class RequestTracker : public std::enable_shared_from_this<RequestTracker> {
  public:
    using Sleep = std::function<Awaitable<void>(Clock::Duration)>;
    static constexpr Clock::Duration defaultGrace = std::chrono::milliseconds(250);

    // `sleep` is how the tracker waits for the grace to run out.
    static std::shared_ptr<RequestTracker> create(Executor executor, Sleep sleep);
    static std::shared_ptr<RequestTracker> create(Executor executor, std::shared_ptr<Clock> clock);

    void begin() { ++pending_; }
    void end();
    // True when every request ended, false when the grace ran out first.
    Awaitable<bool> drain(Clock::Duration grace = defaultGrace);

    std::int64_t pending() const { return pending_; }

  private:
    RequestTracker(Executor executor, Sleep sleep)
        : executor_(std::move(executor)), sleep_(std::move(sleep)) {}
    // Completes a waiting drain once; whichever of the last end and the grace comes first wins.
    void completeDrain(bool allEnded);

    Executor executor_;
    Sleep sleep_;
    std::int64_t pending_ = 0;
    std::function<void(bool)> finishDrain_;
};

}  // namespace tessarin
