#include "recording/server/request_tracker.hpp"

#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"

namespace tessarin {

std::shared_ptr<RequestTracker> RequestTracker::create(Executor executor, Sleep sleep) {
    return std::shared_ptr<RequestTracker>(
        new RequestTracker(std::move(executor), std::move(sleep)));
}

std::shared_ptr<RequestTracker> RequestTracker::create(Executor executor,
                                                       std::shared_ptr<Clock> clock) {
    return create(std::move(executor), [clock](Clock::Duration duration) -> Awaitable<void> {
        co_await clock->sleepIgnoringCancellation(duration);
    });
}

void RequestTracker::end() {
    if (pending_ > 0) {
        --pending_;
    }
    if (pending_ == 0) {
        completeDrain(true);
    }
}

void RequestTracker::completeDrain(bool allEnded) {
    if (!finishDrain_) {
        return;
    }
    auto finish = std::move(finishDrain_);
    finishDrain_ = nullptr;
    finish(allEnded);
}

Awaitable<bool> RequestTracker::drain(Clock::Duration grace) {
    if (pending_ == 0) {
        co_return true;
    }
    auto done = std::make_shared<OneShot<bool>>(executor_);
    finishDrain_ = [done](bool allEnded) { done->resume(allEnded); };
    // The grace timer is left running when the drain ends early; it then finds nothing to do.
    Task<>::spawn(executor_, "the request drain",
                  [weak = weak_from_this(), sleep = sleep_, grace]() -> Awaitable<void> {
                      co_await sleep(grace);
                      if (auto self = weak.lock()) {
                          self->completeDrain(false);
                      }
                  });
    const bool allEnded = co_await done->wait();
    co_return allEnded;
}

}  // namespace tessarin
