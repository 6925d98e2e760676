#include "recording/server/request_tracker.hpp"

namespace tessarin {

RequestTracker::RequestTracker(Token, Executor executor, std::shared_ptr<Clock> clock)
    : executor_(executor), grace_(std::move(executor), std::move(clock)) {}

void RequestTracker::end() {
    if (pending_ > 0) {
        --pending_;
    }
    if (pending_ == 0 && drained_) {
        drained_->resume(true);
    }
}

Awaitable<bool> RequestTracker::drain(Clock::Duration grace) {
    if (pending_ == 0) {
        co_return true;
    }
    auto self = shared_from_this();
    const auto drained = std::make_shared<OneShot<bool>>(executor_);
    drained_ = drained;
    grace_.arm(grace, [drained] { drained->resume(false); });
    const bool allEnded = co_await drained->wait();
    // The grace does not outlive the drain it limited.
    grace_.disarm();
    co_return allEnded;
}

}  // namespace tessarin
