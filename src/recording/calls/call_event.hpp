#pragma once

#include "recording/calls/call_app.hpp"

namespace tessarin {

// A call that began or ended in an application.
struct CallEvent {
    enum class Kind { started, ended };
    Kind kind;
    CallApp app;

    static CallEvent started(CallApp app) { return {Kind::started, std::move(app)}; }
    static CallEvent ended(CallApp app) { return {Kind::ended, std::move(app)}; }
    bool operator==(const CallEvent&) const = default;
};

}  // namespace tessarin
