#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"

namespace tessarin {

// Gives every kept transcript segment its final text and sequence number and holds it until the
// pipeline has appended it to the meeting. A sequence number is never handed out twice.
class SegmentBatcher {
  public:
    // The period (s) at which batches are saved.
    static constexpr double interval = 10.0;
    // The largest batch for one append call.
    static constexpr std::size_t maxBatch = 50;

    // Queues a segment with its white space collapsed; nothing (and no number used) when the text
    // is blank.
    std::optional<Segment> add(Speaker speaker, std::int64_t startedMs, std::int64_t endedMs,
                               std::string_view text);
    // Removes and returns up to `max` segments from the front.
    std::vector<Segment> takeBatch(std::size_t max);
    // Puts a batch that could not be saved back in front, skipping segments still pending.
    void restore(std::span<const Segment> batch);

    bool isEmpty() const { return pending_.empty(); }
    const std::deque<Segment>& pending() const { return pending_; }

  private:
    std::deque<Segment> pending_;
    std::unordered_set<std::int64_t> used_;
};

}  // namespace tessarin
