#pragma once

#include <optional>
#include <string>

#include "core/http/url.hpp"

namespace tessarin {

class JSONValue;

// The signed-in user.
struct Me {
    std::optional<std::string> id;
    std::optional<std::string> email;
    std::optional<std::string> name;
    bool googleConnected = false;
    std::optional<URL> connectURL;

    // Never fails for an object: the profile may be nested under "user", the calendar state under
    // "google".
    static Me decode(const JSONValue& value);

    bool operator==(const Me&) const = default;
};

}  // namespace tessarin
