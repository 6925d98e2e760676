#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/task.hpp"

namespace tessarin {

// The one way the helper puts a limit on a wait: a timer on the injected clock that calls
// `onExpiry` once the limit has passed, unless it is disarmed, re-armed or destroyed first. The
// owner's `onExpiry` then ends the wait (closes the socket, resumes the waiter with a time-out).
// `restart` starts the same limit over from now without a new timer, which makes the limit one on
// inactivity: call it whenever work moves.
//
// A disarmed or destroyed deadline never calls `onExpiry`, even when its timer had already woken:
// the timer re-checks the arming it was started for. Confined to its executor.
class Deadline {
  public:
    Deadline(Executor executor, std::shared_ptr<Clock> clock);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // Arms the limit from now, replacing any earlier arming.
    void arm(Clock::Duration limit, std::function<void()> onExpiry);
    // Moves the expiry of the current arming to now + its limit; does nothing when not armed.
    void restart();
    void disarm();

    bool armed() const;
    // Whether the last arming ran out (rather than being disarmed).
    bool expired() const;

  private:
    struct State;
    static Awaitable<void> watch(std::weak_ptr<State> weak, std::shared_ptr<Clock> clock,
                                 std::uint64_t arming);

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    std::shared_ptr<State> state_;
};

}  // namespace tessarin
