#include "support/io_driver.hpp"

#include <thread>

namespace tessarin::test {

bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
              std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        io.restart();
        if (io.run_one_for(std::chrono::milliseconds(2)) == 0 && io.stopped()) {
            // Nothing to run here: the awaited change comes from another thread.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

bool driveUntil(boost::asio::io_context& io, ManualClock& clock, const std::function<bool()>& done,
                Clock::Duration limit, Clock::Duration step, std::chrono::milliseconds slice) {
    for (Clock::Duration passed{};; passed += step) {
        if (runUntil(io, done, slice)) {
            return true;
        }
        if (passed >= limit) {
            return false;
        }
        clock.advance(step);
    }
}

void settle(boost::asio::io_context& io, std::chrono::milliseconds duration) {
    runUntil(
        io, [] { return false; }, duration);
}

}  // namespace tessarin::test
