#include "recording/channels/pausable_clock.hpp"

#include <utility>

namespace tessarin {

PausableClock::PausableClock(std::shared_ptr<Clock> inner) : inner_(std::move(inner)) {}

Clock::TimePoint PausableClock::now() const {
    return pausedAt_.value_or(inner_->now()) - pausedFor_;
}

Awaitable<void> PausableClock::sleep(Duration duration) {
    const std::shared_ptr<Clock> inner = inner_;
    co_await inner->sleep(duration);
}

void PausableClock::pause() {
    if (!pausedAt_) {
        pausedAt_ = inner_->now();
    }
}

void PausableClock::resume() {
    if (pausedAt_) {
        pausedFor_ += inner_->now() - *pausedAt_;
        pausedAt_.reset();
    }
}

}  // namespace tessarin
