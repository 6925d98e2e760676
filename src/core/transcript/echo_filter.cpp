#include "core/transcript/echo_filter.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

namespace tessarin {

namespace {

// How long a remembered `them` segment stays comparable, before the oldest segment still held.
constexpr std::int64_t rememberThemMs = 120000;

}  // namespace

EchoFilter::EchoFilter(std::int64_t holdMs, EchoDedupe::Config config)
    : config_(config), holdMs_(holdMs) {}

std::vector<EchoFilter::Pending> EchoFilter::add(Pending item, std::int64_t nowMs) {
    std::vector<Pending> output = accept(std::move(item), nowMs);
    releaseInto(output, nowMs);
    return output;
}

std::vector<EchoFilter::Pending> EchoFilter::accept(Pending item, std::int64_t nowMs) {
    std::vector<Pending> output;
    if (item.speaker == Speaker::them) {
        remember(item);
        output.push_back(std::move(item));
    } else {
        held_.push_back(Held{std::move(item), nowMs});
    }
    return output;
}

std::vector<EchoFilter::Pending> EchoFilter::release(std::int64_t nowMs) {
    std::vector<Pending> output;
    releaseInto(output, nowMs);
    return output;
}

void EchoFilter::noteThem(const Pending& item) {
    if (item.speaker == Speaker::them) {
        remember(item);
    }
}

std::vector<EchoFilter::Pending> EchoFilter::releaseAll() {
    std::vector<Pending> output;
    releaseInto(output, std::nullopt);
    return output;
}

void EchoFilter::remember(const Pending& item) {
    // The seq only breaks ties between equal start times when the segments are compared.
    them_.push_back(Segment{static_cast<std::int64_t>(them_.size()), item.startedMs, item.endedMs,
                            Speaker::them, item.text});
}

void EchoFilter::releaseInto(std::vector<Pending>& output, std::optional<std::int64_t> nowMs) {
    // Room for every held segment first: once one is judged, handing it over cannot fail, so a
    // segment leaves `held_` only when it is in the output or dropped as an echo.
    output.reserve(output.size() + held_.size());
    // Held in arrival order, so the first entry still within its hold ends the release.
    while (!held_.empty() && (!nowMs || *nowMs - held_.front().arrivedMs >= holdMs_)) {
        judge(held_.front().segment, output);
        held_.pop_front();
    }
    if (nowMs) {
        pruneThem();
    }
}

void EchoFilter::judge(Pending& segment, std::vector<Pending>& output) {
    EchoDedupe::Decision decision = EchoDedupe::Decision::keep();
    try {
        const Segment me{0, segment.startedMs, segment.endedMs, Speaker::me, segment.text};
        decision = EchoDedupe::decide(me, them_, config_);
    } catch (...) {
        // Could not judge it (out of memory, text the Unicode library refused): keeping a
        // possible echo is better than losing what the user said.
    }
    switch (decision.kind) {
        case EchoDedupe::Decision::Kind::drop:
            ++dropped_;
            break;
        case EchoDedupe::Decision::Kind::trim:
            segment.text = std::move(decision.text);
            ++trimmed_;
            output.push_back(std::move(segment));
            break;
        case EchoDedupe::Decision::Kind::keep:
            output.push_back(std::move(segment));
            break;
    }
}

void EchoFilter::pruneThem() {
    std::int64_t reference = 0;
    if (!held_.empty()) {
        reference = std::numeric_limits<std::int64_t>::max();
        for (const Held& entry : held_) {
            reference = std::min(reference, entry.segment.startedMs);
        }
    } else if (!them_.empty()) {
        reference = them_.back().endedMs;
    }
    std::erase_if(them_, [&](const Segment& segment) {
        return segment.endedMs < reference - rememberThemMs;
    });
}

}  // namespace tessarin
