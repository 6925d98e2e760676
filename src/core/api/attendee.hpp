#pragma once

#include <optional>
#include <string>

namespace tessarin {

class JSONValue;

// One attendee of a calendar event. `isSelf` true means this attendee is the user; absent means
// the calendar did not say.
struct Attendee {
    std::optional<std::string> email;
    std::optional<std::string> name;
    std::optional<bool> isSelf;

    // A bare string is an attendee with that email; otherwise an object with "email", "name" (or
    // "displayName") and "self".
    static Attendee decode(const JSONValue& value);

    bool operator==(const Attendee&) const = default;
};

}  // namespace tessarin
