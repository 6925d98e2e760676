#pragma once

#include <memory>
#include <optional>

#include "core/async/clock.hpp"

namespace tessarin {

// A view of another clock whose time stands still while it is paused: a Deadline on it counts
// only the time spent unpaused. The chunk channel's upload limit runs on one, paused while the
// upload waits for a fresh access token, which is the user's time, not the upload's.
//
// Confined to its executor.
class PausableClock final : public Clock {
  public:
    explicit PausableClock(std::shared_ptr<Clock> inner);

    // The inner clock's time less every span spent paused.
    TimePoint now() const override;
    // Sleeps on the inner clock: a deadline that wakes while paused finds no time has passed and
    // sleeps again.
    Awaitable<void> sleep(Duration duration) override;

    void pause();
    void resume();

  private:
    std::shared_ptr<Clock> inner_;
    Duration pausedFor_{};
    std::optional<TimePoint> pausedAt_;
};

}  // namespace tessarin
