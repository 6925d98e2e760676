#include "core/transcript/segment_batcher.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "core/text/unicode_text.hpp"
#include "core/transcript/transcript_seq.hpp"

namespace tessarin {

std::optional<Segment> SegmentBatcher::add(Speaker speaker, std::int64_t startedMs,
                                           std::int64_t endedMs, std::string_view text) {
    std::string normalised = UnicodeText::collapseWhitespace(text);
    if (normalised.empty()) {
        return std::nullopt;
    }
    const std::int64_t start = std::max<std::int64_t>(startedMs, 0);
    const std::int64_t end = std::max(endedMs, start);
    // Same speaker and origin bits, next free start slot: live segments are never replays.
    std::int64_t seq = TranscriptSeq::make(start, speaker, false);
    while (used_.contains(seq)) {
        seq += 4;
    }
    used_.insert(seq);
    pending_.push_back(Segment{seq, start, end, speaker, std::move(normalised)});
    return pending_.back();
}

std::vector<Segment> SegmentBatcher::takeBatch(std::size_t max) {
    const auto count = static_cast<std::ptrdiff_t>(std::min(max, pending_.size()));
    std::vector<Segment> batch(std::make_move_iterator(pending_.begin()),
                               std::make_move_iterator(pending_.begin() + count));
    pending_.erase(pending_.begin(), pending_.begin() + count);
    return batch;
}

void SegmentBatcher::restore(std::span<const Segment> batch) {
    std::vector<Segment> front;
    for (const Segment& segment : batch) {
        const auto sameSeq = [&](const Segment& s) { return s.seq == segment.seq; };
        if (std::none_of(pending_.begin(), pending_.end(), sameSeq) &&
            std::none_of(front.begin(), front.end(), sameSeq)) {
            front.push_back(segment);
        }
    }
    pending_.insert(pending_.begin(), front.begin(), front.end());
}

}  // namespace tessarin
