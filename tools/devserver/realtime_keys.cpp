#include "devserver/realtime_keys.hpp"

#include "core/api/random.hpp"

namespace tessarin {

std::string RealtimeKeys::mint(Clock::TimePoint now, Clock::Duration lifetime) {
    std::erase_if(expiries_, [now](const auto& entry) { return entry.second <= now; });
    std::string key = "ek_stand_in_" + Random::token(18);
    expiries_.emplace(key, now + lifetime);
    return key;
}

bool RealtimeKeys::accepts(std::string_view key, Clock::TimePoint now) const {
    const auto found = expiries_.find(key);
    return found != expiries_.end() && now < found->second;
}

}  // namespace tessarin
