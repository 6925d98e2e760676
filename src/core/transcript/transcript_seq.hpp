#pragma once

#include <cstdint>

#include "core/api/speaker.hpp"

namespace tessarin {

// The sequence number of a transcript segment: its start time in ms shifted left by two bits, the
// low bits marking the speaker (2 for `them`) and a replayed origin (1). Numbers are thus ordered
// by start time across both speakers and both transcription paths, and never collide between them.
namespace TranscriptSeq {

// The largest start time that still fits (2^61 - 1 ms).
inline constexpr std::int64_t maxStartedMs = (std::int64_t{1} << 61) - 1;

// A negative start counts as 0; a start above maxStartedMs throws std::out_of_range.
std::int64_t make(std::int64_t startedMs, Speaker speaker, bool replay);

}  // namespace TranscriptSeq

}  // namespace tessarin
