#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "core/async/awaitable.hpp"

namespace tessarin {

// How every channel reports to the pipeline. A channel calls them through `postedTo` its
// executor: each call runs on the executor in a turn of its own, never inside the channel
// operation that caused it, so the pipeline may call back into the channel from any of them.
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

    // The same callbacks, each posting its call to `executor` (in call order) instead of making
    // it; absent ones stay absent. A call still queued when `*silenced` becomes true is dropped,
    // so a channel that was cancelled reports nothing afterwards, not even what it posted just
    // before.
    ChannelCallbacks postedTo(const Executor& executor,
                              std::shared_ptr<const bool> silenced = nullptr) const;
};

}  // namespace tessarin
