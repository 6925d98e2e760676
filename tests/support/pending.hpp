#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "core/async/task.hpp"
#include "support/io_driver.hpp"

namespace tessarin::test {

// An operation under test running as a task of its own, so that a test can drive the io_context
// (and a ManualClock) while it runs and then look at how it ended.
template <class T>
class Pending {
    struct Outcome {
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
        std::exception_ptr error;
        bool done = false;
    };

  public:
    Pending(boost::asio::io_context& io, Awaitable<T> operation) : io_(io) {
        task_ = Task<>::spawn(
            io.get_executor(), "test",
            [outcome = outcome_, op = std::move(operation)]() mutable -> Awaitable<void> {
                try {
                    if constexpr (std::is_void_v<T>) {
                        co_await std::move(op);
                    } else {
                        outcome->value.emplace(co_await std::move(op));
                    }
                } catch (...) {
                    outcome->error = std::current_exception();
                }
                outcome->done = true;
            });
    }

    bool done() const { return outcome_->done; }
    void cancel() { task_.cancel(); }

    // Runs real I/O until the operation ends (at most `limit` of real time).
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return runUntil(
            io_, [this] { return done(); }, limit);
    }

    // The value, rethrowing the operation's error; fails when it has not ended.
    T get() {
        if (!finish()) {
            throw std::logic_error("the operation did not end");
        }
        if (outcome_->error) {
            std::rethrow_exception(outcome_->error);
        }
        if constexpr (!std::is_void_v<T>) {
            return std::move(*outcome_->value);
        }
    }

    // The error the operation ended with, after letting it end; nullptr when it succeeded.
    std::exception_ptr error() {
        finish();
        return outcome_->error;
    }

  private:
    boost::asio::io_context& io_;
    std::shared_ptr<Outcome> outcome_ = std::make_shared<Outcome>();
    Task<> task_;
};

// The exception an ended operation failed with, as type E; nullopt when it failed otherwise or
// succeeded.
template <class E, class T>
std::optional<E> failure(Pending<T>& pending) {
    try {
        if (auto error = pending.error()) {
            std::rethrow_exception(error);
        }
    } catch (const E& e) {
        return e;
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace tessarin::test
