#include "core/async/steady_clock.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tessarin {

Clock::TimePoint SteadyClock::now() const {
    return std::chrono::steady_clock::now();
}

Awaitable<void> SteadyClock::sleep(Duration duration) {
    const Executor executor = co_await boost::asio::this_coro::executor;
    boost::asio::steady_timer timer(executor, duration);
    co_await timer.async_wait(boost::asio::use_awaitable_t<Executor>{});
}

}  // namespace tessarin
