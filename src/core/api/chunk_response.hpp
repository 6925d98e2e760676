#pragma once

#include <optional>

#include "core/api/segment.hpp"

namespace tessarin {

class JSONValue;

// The web server's reply to an audio-chunk upload: the segment it transcribed, if any.
struct ChunkResponse {
    std::optional<Segment> segment;

    // Never fails: anything but an object with a well-formed "segment" has no segment.
    static ChunkResponse decode(const JSONValue& value);

    bool operator==(const ChunkResponse&) const = default;
};

}  // namespace tessarin
