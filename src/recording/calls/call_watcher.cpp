#include "recording/calls/call_watcher.hpp"

#include <exception>

#include "recording/calls/call_apps.hpp"

namespace tessarin {

std::vector<CallEvent> CallWatcher::poll(CallDetector::Date now) {
    std::set<CallApp> seen;
    for (const InputProcess& process : processesUsingInput()) {
        if (process.pid == ownPID_) {
            continue;
        }
        if (auto app = CallApps::match(process.bundleID)) {
            seen.insert(std::move(*app));
        }
    }
    return detector_.update(seen, now);
}

std::vector<InputProcess> CallWatcher::processesUsingInput() {
    queryFailure_.reset();
    if (!source_) {
        return {};
    }
    try {
        return source_->processesUsingInput();
    } catch (...) {
        queryFailure_ = describe(std::current_exception());
        return {};
    }
}

}  // namespace tessarin
