#pragma once

#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"

namespace tessarin::test {

// Runs the io_context (real I/O included) until `done` holds or `limit` of real time has passed;
// returns whether it held. Virtual time of a ManualClock does not move.
bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
              std::chrono::milliseconds limit = std::chrono::seconds(5));
// Runs real I/O for `slice` of real time, then moves `clock` on by `step`, until `done` holds or
// `limit` of virtual time has passed; returns whether it held.
bool driveUntil(boost::asio::io_context& io, ManualClock& clock, const std::function<bool()>& done,
                Clock::Duration limit, Clock::Duration step, std::chrono::milliseconds slice);
// Runs the io_context's real I/O for a short while (lets messages in flight arrive).
void settle(boost::asio::io_context& io,
            std::chrono::milliseconds duration = std::chrono::milliseconds(50));

}  // namespace tessarin::test
