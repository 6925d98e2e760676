#include "core/transcript/transcript_seq.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tessarin::TranscriptSeq {

std::int64_t make(std::int64_t startedMs, Speaker speaker, bool replay) {
    if (startedMs > maxStartedMs) {
        throw std::out_of_range("A segment start of " + std::to_string(startedMs) +
                                " ms is too large for a sequence number");
    }
    return std::max<std::int64_t>(startedMs, 0) * 4 + (speaker == Speaker::them ? 2 : 0) +
           (replay ? 1 : 0);
}

}  // namespace tessarin::TranscriptSeq
