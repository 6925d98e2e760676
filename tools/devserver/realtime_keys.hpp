#pragma once

#include <map>
#include <string>
#include <string_view>

#include "core/async/clock.hpp"

namespace tessarin {

// The short-lived keys the token endpoint mints and the realtime endpoint accepts. A key opens
// connections until it expires; a connection already open outlives its key, as with the real
// service. Expired keys are forgotten whenever a new one is minted, so the set stays small.
class RealtimeKeys {
  public:
    std::string mint(Clock::TimePoint now, Clock::Duration lifetime);
    bool accepts(std::string_view key, Clock::TimePoint now) const;

  private:
    std::map<std::string, Clock::TimePoint, std::less<>> expiries_;
};

}  // namespace tessarin
