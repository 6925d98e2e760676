#include "core/async/clock.hpp"

#include <boost/system/system_error.hpp>

namespace tessarin {

Awaitable<void> Clock::sleepIgnoringCancellation(Duration duration) {
    try {
        co_await sleep(duration);
    } catch (const boost::system::system_error&) {
        if (!isCancellation(std::current_exception())) {
            throw;
        }
    }
}

Clock::Duration seconds(double value) {
    return std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(value));
}

}  // namespace tessarin
