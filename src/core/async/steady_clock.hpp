#pragma once

#include "core/async/clock.hpp"

namespace tessarin {

// The real monotonic clock: std::chrono::steady_clock and Asio timers on the caller's executor.
class SteadyClock final : public Clock {
  public:
    TimePoint now() const override;
    Awaitable<void> sleep(Duration duration) override;
};

}  // namespace tessarin
