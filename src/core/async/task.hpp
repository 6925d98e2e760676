#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include "core/async/awaitable.hpp"
#include "core/async/one_shot.hpp"
#include "core/log/diagnostics.hpp"

namespace tessarin {

// The helper's one kind of background task: a coroutine spawned on an executor that can be
// cancelled and awaited. Dropping the handle does not stop the task (it runs on, detached); owners
// of background work keep their tasks in a TaskGroup, which stops them.
//
// Every task says what it does (`what`). A task that fails while nobody awaits its `result` has its
// error written to the diagnostics as "<what> failed: <error>", so no error of background work
// vanishes; a cancelled task ends quietly.
//
// Cancellation is terminal: the wait the task is suspended in throws operation_aborted, and so does
// every later wait unless the task resets its cancellation state to clean up. Tasks that outlive
// their owner must hold it through a weak_ptr and re-check it after every wait.
//
// Confined to the executor it was spawned on: `cancel` and `result` must run there.
template <class T = void>
class Task {
    using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;

    struct State {
        State(const Executor& executor, std::string what)
            : finished(executor), what(std::move(what)) {}
        boost::asio::cancellation_signal signal;
        OneShot<void> finished;
        // Set once the body has returned or thrown, or cancellation was asked for: from then on
        // the signal must not be emitted again, because its handlers point into the coroutine's
        // frames, which may already be gone while the completion is still queued.
        bool bodyEnded = false;
        bool cancelRequested = false;
        std::optional<Stored> value;
        std::exception_ptr error;
        std::string what;
        // Tasks awaiting `result`: while there are any, an error is theirs to handle.
        int resultWaiters = 0;
    };

  public:
    Task() = default;

    // `body` is a callable returning Awaitable<T>. It is kept alive inside the task, so its
    // captures stay valid for the task's whole run. `what` names the work for the diagnostics.
    template <class Body>
    static Task spawn(const Executor& executor, std::string what, Body&& body) {
        auto state = std::make_shared<State>(executor, std::move(what));
        boost::asio::co_spawn(
            executor,
            [state, body = std::forward<Body>(body)]() mutable -> Awaitable<T> {
                const EndMark mark{*state};
                if constexpr (std::is_void_v<T>) {
                    co_await body();
                } else {
                    T value = co_await body();
                    co_return value;
                }
            },
            boost::asio::bind_cancellation_slot(state->signal.slot(), Completion{state}));
        return Task(state);
    }

    explicit operator bool() const { return state_ != nullptr; }
    bool done() const { return state_ && state_->finished.resumed(); }

    // Asks the task to stop; a task that has ended ignores it.
    void cancel() const {
        if (state_ && !state_->bodyEnded && !state_->cancelRequested) {
            state_->cancelRequested = true;
            state_->signal.emit(boost::asio::cancellation_type::terminal);
        }
    }

    // Waits until the task ends, then returns its value or rethrows its error.
    Awaitable<T> result() const {
        auto state = state_;
        const ResultWaiter waiter{*state};
        co_await state->finished.wait();
        if (state->error) {
            std::rethrow_exception(state->error);
        }
        if constexpr (!std::is_void_v<T>) {
            co_return *state->value;
        }
    }

    // Waits until the task ends, ignoring how it ended.
    Awaitable<void> join() const {
        auto state = state_;
        if (state) {
            co_await state->finished.wait();
        }
    }

  private:
    explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}

    struct EndMark {
        State& state;
        ~EndMark() { state.bodyEnded = true; }
    };

    struct ResultWaiter {
        explicit ResultWaiter(State& state) : state(state) { ++state.resultWaiters; }
        ~ResultWaiter() { --state.resultWaiters; }
        ResultWaiter(const ResultWaiter&) = delete;
        ResultWaiter& operator=(const ResultWaiter&) = delete;
        State& state;
    };

    struct Completion {
        std::shared_ptr<State> state;
        void operator()(std::exception_ptr error) const requires std::is_void_v<T> {
            finish(error);
        }
        template <class Value>
        void operator()(std::exception_ptr error, Value&& value) const
            requires(!std::is_void_v<T>) {
            if (!error) {
                state->value.emplace(std::forward<Value>(value));
            }
            finish(error);
        }
        void finish(std::exception_ptr error) const {
            state->error = error;
            if (error && state->resultWaiters == 0 && !isCancellation(error)) {
                Diagnostics::log(state->what + " failed: " + describe(error));
            }
            state->finished.resume();
        }
    };

    std::shared_ptr<State> state_;
};

}  // namespace tessarin
