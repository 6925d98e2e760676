#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace tessarin::test {

// Runs the io_context (real I/O included) until `done` holds or `limit` of real time has passed;
// returns whether it held. Virtual time of a ManualClock does not move.
inline bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        io.restart();
        if (io.run_for(std::chrono::milliseconds(1)) == 0 && io.stopped()) {
            // Nothing to run here: the awaited change comes from another thread.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

}  // namespace tessarin::test
