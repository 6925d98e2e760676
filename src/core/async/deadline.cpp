#include "core/async/deadline.hpp"

#include <utility>

namespace tessarin {

struct Deadline::State {
    std::uint64_t arming = 0;
    bool armed = false;
    bool expired = false;
    Clock::Duration limit{};
    Clock::TimePoint due{};
    std::function<void()> onExpiry;
    Task<> timer;
};

Deadline::Deadline(Executor executor, std::shared_ptr<Clock> clock)
    : executor_(std::move(executor)), clock_(std::move(clock)), state_(std::make_shared<State>()) {}

Deadline::~Deadline() {
    disarm();
}

void Deadline::arm(Clock::Duration limit, std::function<void()> onExpiry) {
    disarm();
    State& state = *state_;
    state.armed = true;
    state.expired = false;
    state.limit = limit;
    state.due = clock_->now() + limit;
    state.onExpiry = std::move(onExpiry);
    state.timer = Task<>::spawn(executor_, "a time limit",
                                [weak = std::weak_ptr<State>(state_), clock = clock_,
                                 arming = state.arming] { return watch(weak, clock, arming); });
}

void Deadline::restart() {
    if (state_->armed) {
        state_->due = clock_->now() + state_->limit;
    }
}

void Deadline::disarm() {
    State& state = *state_;
    ++state.arming;
    state.armed = false;
    state.onExpiry = nullptr;
    state.timer.cancel();
    state.timer = Task<>{};
}

bool Deadline::armed() const {
    return state_->armed;
}

bool Deadline::expired() const {
    return state_->expired;
}

Awaitable<void> Deadline::watch(std::weak_ptr<State> weak, std::shared_ptr<Clock> clock,
                                std::uint64_t arming) {
    for (;;) {
        Clock::Duration remaining{};
        {
            const auto state = weak.lock();
            if (!state || state->arming != arming) {
                co_return;
            }
            remaining = state->due - clock->now();
            if (remaining <= Clock::Duration::zero()) {
                std::function<void()> onExpiry = std::move(state->onExpiry);
                state->onExpiry = nullptr;
                state->armed = false;
                state->expired = true;
                state->timer = Task<>{};
                if (onExpiry) {
                    onExpiry();
                }
                co_return;
            }
        }
        co_await clock->sleep(remaining);
    }
}

}  // namespace tessarin
