#pragma once

#include <string>
#include <tuple>

namespace tessarin {

// A known conferencing application or browser: its canonical identifier and display name.
struct CallApp {
    std::string bundleID;
    std::string name;

    bool operator==(const CallApp&) const = default;
    // Ordered by identifier (plain byte order), the order events are reported in.
    bool operator<(const CallApp& other) const {
        return std::tie(bundleID, name) < std::tie(other.bundleID, other.name);
    }
};

}  // namespace tessarin
