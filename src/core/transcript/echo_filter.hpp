#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "core/transcript/echo_dedupe.hpp"

namespace tessarin {

// Sits between the two transcription channels and the batcher. Segments of `them` pass at once
// and are remembered; segments of `me` are held for `holdMs`, because the `them` segment an echo
// repeats may finish after the echo itself, and are then judged by EchoDedupe against what was
// remembered. Has no clock: every call is given the current time on the segments' time base.
class EchoFilter {
  public:
    // A finished segment that has no sequence number yet.
    struct Pending {
        Speaker speaker = Speaker::me;
        std::int64_t startedMs = 0;
        std::int64_t endedMs = 0;
        std::string text;

        bool operator==(const Pending&) const = default;
    };

    static constexpr std::int64_t defaultHoldMs = 4000;

    explicit EchoFilter(std::int64_t holdMs = defaultHoldMs, EchoDedupe::Config config = {});

    // Accepts one finished segment; returns what leaves the filter now, in output order (a `them`
    // item before any `me` item released by the same call).
    std::vector<Pending> add(Pending item, std::int64_t nowMs);
    // Accepts one finished segment without releasing any held one (for callers that release only
    // when they can judge): a `them` item comes back at once, a `me` item is held.
    std::vector<Pending> accept(Pending item, std::int64_t nowMs);
    // Judges and returns every held segment whose hold has expired, in arrival order.
    std::vector<Pending> release(std::int64_t nowMs);
    // Remembers a `them` segment delivered by another route; `me` items are ignored.
    void noteThem(const Pending& item);
    // Judges every held segment at once, regardless of time (the recording is stopping).
    std::vector<Pending> releaseAll();

    std::size_t heldCount() const { return held_.size(); }
    std::int64_t dropped() const { return dropped_; }
    std::int64_t trimmed() const { return trimmed_; }

  private:
    struct Held {
        Pending segment;
        std::int64_t arrivedMs;
    };

    void remember(const Pending& item);
    // Judges the held segments whose hold has expired at `nowMs` (all of them without a time) into
    // `output`, then prunes `them_` (only with a time).
    void releaseInto(std::vector<Pending>& output, std::optional<std::int64_t> nowMs);
    // Moves the held segment to `output` unless it is judged an echo; one that cannot be judged
    // is kept.
    void judge(Pending& segment, std::vector<Pending>& output);
    void pruneThem();

    EchoDedupe::Config config_;
    std::int64_t holdMs_;
    std::int64_t dropped_ = 0;
    std::int64_t trimmed_ = 0;
    std::deque<Held> held_;
    std::vector<Segment> them_;
};

}  // namespace tessarin
