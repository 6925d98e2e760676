#pragma once

#include <chrono>
#include <functional>

namespace tessarin {

// The last resort of an exit that does not finish: after the delay it calls `onFire` and ends the
// process with status 1. It runs on a thread of its own, so it fires even when the executor is
// stuck, and it is never disarmed (an exit that finishes ends the process first).
class ShutdownWatchdog {
  public:
    static constexpr std::chrono::milliseconds defaultDelay = std::chrono::seconds(45);

    static void arm(std::chrono::milliseconds delay, std::function<void()> onFire);
};

}  // namespace tessarin
