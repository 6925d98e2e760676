#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "core/async/clock.hpp"
#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"

namespace tessarin {

// Runs `operation` (a callable returning Awaitable<T>) against a timer of `duration` on `clock`.
// Whichever finishes first decides: the operation's value or error, or a default-made `TimedOut`
// thrown when the deadline passes. The loser is cancelled and not waited for, so an operation that
// is slow to notice its cancellation cannot hold the caller past the time limit. Cancelling the
// caller cancels both.
template <class TimedOut, class Operation>
auto withTimeout(std::shared_ptr<Clock> clock, Clock::Duration duration, Operation operation)
    -> std::invoke_result_t<Operation&> {
    using Result = typename std::invoke_result_t<Operation&>::value_type;
    using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;
    struct Outcome {
        std::optional<Stored> value;
        std::exception_ptr error;
    };

    const Executor executor = co_await boost::asio::this_coro::executor;
    auto decided = std::make_shared<OneShot<Outcome>>(executor);
    // The work reports every way it ends through `decided`, so its task never fails on its own.
    const auto work =
        Task<>::spawn(executor, "a time-limited operation",
                      [decided, operation = std::move(operation)]() mutable -> Awaitable<void> {
                          try {
                              // Results go through named locals: g++ 12 mishandles temporaries that
                              // own memory inside co_await expressions.
                              Outcome outcome;
                              if constexpr (std::is_void_v<Result>) {
                                  co_await operation();
                                  outcome.value.emplace(true);
                              } else {
                                  Result value = co_await operation();
                                  outcome.value.emplace(std::move(value));
                              }
                              decided->resume(std::move(outcome));
                          } catch (...) {
                              decided->resume(Outcome{std::nullopt, std::current_exception()});
                          }
                      });
    Deadline deadline(executor, std::move(clock));
    deadline.arm(duration, [decided] {
        decided->resume(Outcome{std::nullopt, std::make_exception_ptr(TimedOut{})});
    });

    Outcome outcome;
    try {
        Outcome waited = co_await decided->wait();
        outcome = std::move(waited);
    } catch (...) {
        work.cancel();
        throw;
    }
    work.cancel();
    if (outcome.error) {
        std::rethrow_exception(outcome.error);
    }
    if constexpr (!std::is_void_v<Result>) {
        co_return std::move(*outcome.value);
    }
}

}  // namespace tessarin
