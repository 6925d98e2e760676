#pragma once

#include <functional>
#include <string_view>

namespace tessarin {

// Where the helper's diagnostic lines go. Code anywhere in the helper (a background task that
// failed, a capture thread that lost its device) reports through `log`; the process decides once
// at start-up where lines end up (standard error and the system log). Until then, and in tests
// that install nothing, lines go to standard error as "tessarin-helper: <message>".
//
// Safe from any thread.
class Diagnostics {
  public:
    using Sink = std::function<void(std::string_view message)>;

    static void log(std::string_view message);
    // Replaces where lines go; an empty sink restores the default.
    static void setSink(Sink sink);
};

}  // namespace tessarin
