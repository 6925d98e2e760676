#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "core/async/clock.hpp"

namespace tessarin {

// A clock for tests whose time moves only when the test says so. `advance` walks virtual time
// forward sleeper by sleeper, running the io_context after each wake-up, so a task that wakes and
// sleeps again inside the advanced span is woken again in the same call: waking order is
// deadline order, ties in the order the sleeps began.
//
// Confined to the io_context's thread; the test drives it from outside the io_context's run loop.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(boost::asio::io_context& io);

    TimePoint now() const override { return now_; }
    Awaitable<void> sleep(Duration duration) override;

    // Runs everything that is ready now, without moving time.
    void runReady();
    // Moves time forward by `duration`, waking every sleeper whose deadline falls inside it.
    void advance(Duration duration);
    // Advances in steps until `done` holds or `limit` has passed; returns whether it held.
    template <class Predicate>
    bool advanceUntil(Predicate done, Duration limit,
                      Duration step = std::chrono::milliseconds(10)) {
        runReady();
        for (Duration passed{}; !done(); passed += step) {
            if (passed >= limit) {
                return false;
            }
            advance(step);
        }
        return true;
    }

    std::size_t sleepers() const { return sleepers_.size(); }

  private:
    struct Sleeper;
    using Key = std::pair<TimePoint, std::uint64_t>;

    boost::asio::io_context& io_;
    TimePoint now_;
    std::uint64_t nextOrder_ = 0;
    std::map<Key, std::shared_ptr<Sleeper>> sleepers_;
};

}  // namespace tessarin
