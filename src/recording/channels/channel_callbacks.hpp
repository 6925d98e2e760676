#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"

namespace tessarin {

// How every channel reports to the pipeline. Each callback may be called from any thread; the
// pipeline moves the work onto its own executor.
struct ChannelCallbacks {
    // A finished transcript of this channel's audio from t0 to t1 ms of its stream.
    std::function<void(Speaker, std::int64_t t0, std::int64_t t1, std::string text)> segment;
    // A segment the web server has already stored (uploaded chunks).
    std::function<void(Segment)> stored;
    // Interim text: the whole interim transcript of that item so far.
    std::function<void(Speaker, std::string text, std::string itemID)> delta;
    // A user-facing problem for this speaker; no message clears it.
    std::function<void(Speaker, std::optional<std::string> message)> problem;
    // Audio is being held back or was dropped.
    std::function<void(Speaker, std::string message)> backlog;
    // Audio the realtime path could not transcribe, with the position of its first byte in ms.
    std::function<void(Speaker, std::vector<std::uint8_t> pcm, std::int64_t startMs)> catchUp;
};

}  // namespace tessarin
