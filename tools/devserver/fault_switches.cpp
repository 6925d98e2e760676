#include "devserver/fault_switches.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace tessarin {

namespace {

using std::chrono::milliseconds;

[[noreturn]] void badValue(const std::string& key, const char* expected) {
    throw std::invalid_argument("\"" + key + "\" must be " + expected);
}

std::int64_t integerIn(const std::string& key, const JSONValue& value, std::int64_t least,
                       std::int64_t most) {
    const auto number = value.intValue();
    if (!number || *number < least || *number > most) {
        badValue(
            key,
            ("an integer from " + std::to_string(least) + " to " + std::to_string(most)).c_str());
    }
    return *number;
}

// Durations travel as whole milliseconds.
Clock::Duration durationIn(const std::string& key, const JSONValue& value,
                           Clock::Duration most = std::chrono::hours(24)) {
    return milliseconds(
        integerIn(key, value, 0, std::chrono::duration_cast<milliseconds>(most).count()));
}

std::int64_t inMilliseconds(Clock::Duration duration) {
    return std::chrono::duration_cast<milliseconds>(duration).count();
}

}  // namespace

FaultSwitches::FaultSwitches() : random_(settings_.seed) {}

FaultSwitches::Actions FaultSwitches::apply(const JSONValue& changes, Clock::TimePoint now) {
    const JSONValue::Object* members = changes.objectValue();
    if (!members) {
        throw std::invalid_argument("The switches must be a JSON object");
    }
    Settings next = settings_;
    Clock::TimePoint refusedUntil = upgradesRefusedUntil_;
    Actions actions;
    for (const auto& [key, value] : *members) {
        if (key == "accessToken") {
            const auto token = value.stringValue();
            if (!token || token->empty()) {
                badValue(key, "a non-empty string");
            }
            next.accessToken = *token;
        } else if (key == "tokenLifetimeMs") {
            next.tokenLifetime = durationIn(key, value);
        } else if (key == "dropEveryMs") {
            next.dropEvery = durationIn(key, value);
        } else if (key == "outageMs") {
            next.outage = durationIn(key, value);
        } else if (key == "refuseUpgradesMs") {
            refusedUntil = now + durationIn(key, value);
        } else if (key == "appendFaultShare") {
            const auto share = value.numberValue();
            if (!share || !(*share >= 0.0 && *share <= 1.0)) {
                badValue(key, "a number from 0 to 1");
            }
            next.appendFaultShare = *share;
        } else if (key == "appendFaultStatus") {
            next.appendFaultStatus = static_cast<int>(integerIn(key, value, 400, 599));
        } else if (key == "refuseTokens") {
            if (const auto always = value.boolValue()) {
                next.refuseTokensAlways = *always;
                next.refuseTokensNext = 0;
            } else {
                next.refuseTokensAlways = false;
                next.refuseTokensNext = integerIn(key, value, 0, 1'000'000);
            }
        } else if (key == "delayMs") {
            next.delay = durationIn(key, value, maxDelay);
        } else if (key == "seed") {
            next.seed = static_cast<std::uint64_t>(integerIn(key, value, 0, INT64_MAX));
        } else if (key == "dropNow" || key == "resetCounters") {
            const auto flag = value.boolValue();
            if (!flag) {
                badValue(key, "true or false");
            }
            (key == "dropNow" ? actions.dropNow : actions.resetCounters) = *flag;
        } else {
            throw std::invalid_argument("Unknown switch \"" + key + "\"");
        }
    }
    if (members->contains("seed")) {
        random_.seed(next.seed);
    }
    settings_ = std::move(next);
    upgradesRefusedUntil_ = refusedUntil;
    return actions;
}

JSONValue FaultSwitches::toJSON(Clock::TimePoint now) const {
    const Clock::Duration refusedFor =
        upgradesRefused(now) ? upgradesRefusedUntil_ - now : Clock::Duration{};
    return JSONValue::object(
        {{"accessToken", settings_.accessToken},
         {"tokenLifetimeMs", inMilliseconds(settings_.tokenLifetime)},
         {"dropEveryMs", inMilliseconds(settings_.dropEvery)},
         {"outageMs", inMilliseconds(settings_.outage)},
         {"refuseUpgradesMs", inMilliseconds(refusedFor)},
         {"appendFaultShare", settings_.appendFaultShare},
         {"appendFaultStatus", settings_.appendFaultStatus},
         {"refuseTokens",
          settings_.refuseTokensAlways ? JSONValue(true) : JSONValue(settings_.refuseTokensNext)},
         {"delayMs", inMilliseconds(settings_.delay)},
         {"seed", static_cast<std::int64_t>(settings_.seed)}});
}

bool FaultSwitches::takeTokenRefusal() {
    if (settings_.refuseTokensAlways) {
        return true;
    }
    if (settings_.refuseTokensNext > 0) {
        --settings_.refuseTokensNext;
        return true;
    }
    return false;
}

std::optional<int> FaultSwitches::drawAppendFault() {
    if (settings_.appendFaultShare <= 0.0) {
        return std::nullopt;
    }
    std::bernoulli_distribution fails(settings_.appendFaultShare);
    if (fails(random_)) {
        return settings_.appendFaultStatus;
    }
    return std::nullopt;
}

void FaultSwitches::connectionDropped(Clock::TimePoint now) {
    upgradesRefusedUntil_ = std::max(upgradesRefusedUntil_, now + settings_.outage);
}

}  // namespace tessarin
