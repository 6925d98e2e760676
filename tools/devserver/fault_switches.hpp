#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "core/async/clock.hpp"
#include "core/json/json_value.hpp"

namespace tessarin {

// The faults the stand-in can be told to produce, and the settings they share with normal service
// (the access token it accepts, how long realtime keys live). They are set from the command line at
// start and changed at run time through POST /control with a JSON object of the same keys, e.g.
// {"appendFaultShare": 1, "appendFaultStatus": 503}. Random choices come from a seeded generator,
// so a run with the same seed and the same requests makes the same choices.
class FaultSwitches {
  public:
    struct Settings {
        std::string accessToken = "dev-token";
        Clock::Duration tokenLifetime = std::chrono::minutes(5);
        // Each realtime connection is dropped this long after its upgrade (zero: never).
        Clock::Duration dropEvery{};
        // After every drop, upgrades are refused for this long.
        Clock::Duration outage{};
        // The share of segment appends answered with appendFaultStatus instead of being stored.
        double appendFaultShare = 0.0;
        int appendFaultStatus = 503;
        // Token requests refused with 401: all of them, or the next refuseTokensNext.
        bool refuseTokensAlways = false;
        std::int64_t refuseTokensNext = 0;
        // Every HTTP answer and every realtime transcript waits this long.
        Clock::Duration delay{};
        std::uint64_t seed = 1;
    };

    // One-off actions a control body may ask for besides changing settings.
    struct Actions {
        bool dropNow = false;
        bool resetCounters = false;
    };

    // The longest delay that may be set, so a typo cannot stall the server for hours.
    static constexpr Clock::Duration maxDelay = std::chrono::minutes(1);

    FaultSwitches();

    // Applies every member of `changes` (an object of the keys toJSON writes, plus
    // "refuseUpgradesMs", "dropNow" and "resetCounters"). Throws std::invalid_argument naming the
    // first unknown key or bad value; then nothing has changed.
    Actions apply(const JSONValue& changes, Clock::TimePoint now);
    JSONValue toJSON(Clock::TimePoint now) const;

    const Settings& settings() const { return settings_; }

    // Whether this token request is to be refused; counts it against refuseTokensNext.
    bool takeTokenRefusal();
    // The status to answer this segment append with instead of storing it, if any.
    std::optional<int> drawAppendFault();
    bool upgradesRefused(Clock::TimePoint now) const { return now < upgradesRefusedUntil_; }
    // A realtime connection was dropped: the outage starts now.
    void connectionDropped(Clock::TimePoint now);

  private:
    Settings settings_;
    std::mt19937_64 random_;
    Clock::TimePoint upgradesRefusedUntil_{};
};

}  // namespace tessarin
