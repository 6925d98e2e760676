#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include "core/async/awaitable.hpp"
#include "core/async/one_shot.hpp"

namespace tessarin {

// The helper's one kind of background task: a coroutine spawned on an executor that can be
// cancelled and awaited. Dropping the handle does not stop the task (it runs on, detached); owners
// that must stop their tasks call `cancel`.
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
        explicit State(const Executor& executor) : finished(executor) {}
        boost::asio::cancellation_signal signal;
        OneShot<void> finished;
        // Set once the body has returned or thrown, or cancellation was asked for: from then on
        // the signal must not be emitted again, because its handlers point into the coroutine's
        // frames, which may already be gone while the completion is still queued.
        bool bodyEnded = false;
        bool cancelRequested = false;
        std::optional<Stored> value;
        std::exception_ptr error;
    };

  public:
    Task() = default;

    // `body` is a callable returning Awaitable<T>. It is kept alive inside the task, so its
    // captures stay valid for the task's whole run.
    template <class Body>
    static Task spawn(const Executor& executor, Body&& body) {
        auto state = std::make_shared<State>(executor);
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
            state->finished.resume();
        }
    };

    std::shared_ptr<State> state_;
};

}  // namespace tessarin
