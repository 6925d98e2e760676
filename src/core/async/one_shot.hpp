#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "core/async/awaitable.hpp"

namespace tessarin {

// A one-shot continuation: tasks wait on it until someone resumes it with a value, exactly once.
// The first `resume` wins and later ones are ignored, so two racing completers (an answer and a
// time-out, say) can both try without coordinating. A wait that starts after the resume returns
// at once. A waiting task that is cancelled stops waiting and throws the cancellation.
//
// Confined to its executor: `resume` and `wait` must run there.
template <class T = void>
class OneShot {
    using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;

  public:
    explicit OneShot(const Executor& executor)
        : timer_(executor, boost::asio::steady_timer::time_point::max()) {}
    OneShot(const OneShot&) = delete;
    OneShot& operator=(const OneShot&) = delete;

    template <class... Value>
    bool resume(Value&&... value) {
        if (value_) {
            return false;
        }
        if constexpr (std::is_void_v<T>) {
            value_.emplace(true);
        } else {
            value_.emplace(std::forward<Value>(value)...);
        }
        // Waking the timer's waiters is how the value is handed over; see wait().
        timer_.cancel();
        return true;
    }

    bool resumed() const { return value_.has_value(); }

    Awaitable<T> wait() {
        if (!value_) {
            try {
                co_await timer_.async_wait(boost::asio::use_awaitable_t<Executor>{});
            } catch (const boost::system::system_error&) {
                if (!value_) {
                    throw;  // the waiting task was cancelled, not resumed
                }
            }
        }
        if constexpr (!std::is_void_v<T>) {
            co_return *value_;
        }
    }

  private:
    boost::asio::steady_timer timer_;
    std::optional<Stored> value_;
};

}  // namespace tessarin
