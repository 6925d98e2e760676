#include "app/shutdown_watchdog.hpp"

#include <cstdlib>
#include <thread>

namespace tessarin {

void ShutdownWatchdog::arm(std::chrono::milliseconds delay, std::function<void()> onFire) {
    std::thread([delay, onFire = std::move(onFire)] {
        std::this_thread::sleep_for(delay);
        onFire();
        std::_Exit(1);
    }).detach();
}

}  // namespace tessarin
