#include "core/async/manual_clock.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace tessarin {

// A sleeper waits on a timer that never expires by itself; waking it means cancelling that timer
// with `woken` set, which tells a wake-up apart from the task's own cancellation.
struct ManualClock::Sleeper {
    explicit Sleeper(boost::asio::io_context& io)
        : timer(io, boost::asio::steady_timer::time_point::max()) {}
    boost::asio::steady_timer timer;
    bool woken = false;
};

// Virtual time starts well away from zero so that code subtracting durations never underflows.
ManualClock::ManualClock(boost::asio::io_context& io)
    : io_(io), now_(TimePoint{} + std::chrono::hours(24)) {}

Awaitable<void> ManualClock::sleep(Duration duration) {
    if (duration <= Duration::zero()) {
        co_await boost::asio::post(io_, boost::asio::use_awaitable_t<Executor>{});
        co_return;
    }
    const Key key{now_ + duration, nextOrder_++};
    auto sleeper = std::make_shared<Sleeper>(io_);
    sleepers_.emplace(key, sleeper);
    try {
        co_await sleeper->timer.async_wait(boost::asio::use_awaitable_t<Executor>{});
    } catch (const boost::system::system_error&) {
        if (!sleeper->woken) {
            sleepers_.erase(key);
            throw;
        }
    }
}

void ManualClock::runReady() {
    if (io_.stopped()) {
        io_.restart();
    }
    io_.poll();
}

void ManualClock::advance(Duration duration) {
    const TimePoint target = now_ + duration;
    runReady();
    while (!sleepers_.empty() && sleepers_.begin()->first.first <= target) {
        auto [key, sleeper] = *sleepers_.begin();
        sleepers_.erase(sleepers_.begin());
        now_ = std::max(now_, key.first);
        sleeper->woken = true;
        sleeper->timer.cancel();
        runReady();
    }
    now_ = target;
    runReady();
}

}  // namespace tessarin
