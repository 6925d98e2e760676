#pragma once

#include <chrono>
#include <map>
#include <set>
#include <vector>

#include "core/async/clock.hpp"
#include "recording/calls/call_app.hpp"
#include "recording/calls/call_event.hpp"

namespace tessarin {

// Debounces what the polls see, in both directions: an app is reported as in a call once it has
// been seen on every poll for `debounce`, and as out of it once it has been unseen for as long.
class CallDetector {
  public:
    using Date = std::chrono::system_clock::time_point;
    static constexpr Clock::Duration defaultDebounce = std::chrono::seconds(3);

    explicit CallDetector(Clock::Duration debounce = defaultDebounce) : debounce_(debounce) {}

    // Started events first, then ended ones, each in identifier order.
    std::vector<CallEvent> update(const std::set<CallApp>& seen, Date now);
    void reset();
    std::set<CallApp> activeApps() const;

  private:
    bool debounced(Date since, Date now) const;

    Clock::Duration debounce_;
    std::map<CallApp, Date> pending_;  // first seen
    std::map<CallApp, Date> active_;   // last seen
};

}  // namespace tessarin
