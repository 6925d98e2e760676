#pragma once

#include <cstdint>
#include <string>

#include "core/api/speaker.hpp"

namespace tessarin {

// One finished transcript segment. Times are milliseconds since the recording's pipeline was made.
struct Segment {
    std::int64_t seq = 0;
    std::int64_t startedMs = 0;
    std::int64_t endedMs = 0;
    Speaker speaker = Speaker::me;
    std::string text;

    bool operator==(const Segment&) const = default;
};

}  // namespace tessarin
