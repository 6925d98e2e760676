#include "core/async/clock.hpp"

namespace tessarin {

Clock::Duration seconds(double value) {
    return std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(value));
}

}  // namespace tessarin
