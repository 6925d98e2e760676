#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "recording/calls/call_app.hpp"

namespace tessarin {

// The applications that count as being in a call while they use the microphone.
namespace CallApps {

struct Row {
    CallApp app;
    std::vector<std::string_view> matching;  // identifiers that count as this app
};

// The table, in match order: the first row with a matching identifier wins.
const std::vector<Row>& table();

// Whether the identifier is one of our own applications' (which never count as calls).
bool isOwn(std::string_view bundleID);

// The app a process identifier belongs to: equal to a matching identifier, or below it (followed
// by "."), ignoring case. Our own applications never count.
std::optional<CallApp> match(std::string_view bundleID);

}  // namespace CallApps

}  // namespace tessarin
