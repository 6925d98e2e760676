#include "recording/calls/call_watcher.hpp"

#include "recording/calls/call_apps.hpp"

namespace tessarin {

std::vector<CallEvent> CallWatcher::poll(CallDetector::Date now) {
    std::set<CallApp> seen;
    if (source_) {
        for (const InputProcess& process : source_->processesUsingInput()) {
            if (process.pid == ownPID_) {
                continue;
            }
            if (auto app = CallApps::match(process.bundleID)) {
                seen.insert(std::move(*app));
            }
        }
    }
    return detector_.update(seen, now);
}

}  // namespace tessarin
