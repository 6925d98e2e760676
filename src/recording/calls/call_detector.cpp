#include "recording/calls/call_detector.hpp"

namespace tessarin {

bool CallDetector::debounced(Date since, Date now) const {
    return now - since >= debounce_;
}

std::vector<CallEvent> CallDetector::update(const std::set<CallApp>& seen, Date now) {
    std::vector<CallEvent> started;
    for (const CallApp& app : seen) {
        if (auto active = active_.find(app); active != active_.end()) {
            active->second = now;
        } else if (auto pending = pending_.find(app); pending != pending_.end()) {
            if (debounced(pending->second, now)) {
                pending_.erase(pending);
                active_[app] = now;
                started.push_back(CallEvent::started(app));
            }
        } else {
            pending_[app] = now;
        }
    }
    // A pending app must be seen on every poll: one miss restarts its wait.
    std::erase_if(pending_, [&](const auto& entry) { return !seen.contains(entry.first); });

    std::vector<CallEvent> events = std::move(started);
    for (auto it = active_.begin(); it != active_.end();) {
        if (!seen.contains(it->first) && debounced(it->second, now)) {
            events.push_back(CallEvent::ended(it->first));
            it = active_.erase(it);
        } else {
            ++it;
        }
    }
    return events;
}

void CallDetector::reset() {
    pending_.clear();
    active_.clear();
}

std::set<CallApp> CallDetector::activeApps() const {
    std::set<CallApp> apps;
    for (const auto& [app, lastSeen] : active_) {
        apps.insert(app);
    }
    return apps;
}

}  // namespace tessarin
