#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "core/audio/pcm16.hpp"

namespace tessarin {

// Holds one speaker's 24 kHz PCM16 audio while realtime transcription is down, so that it can be
// transcribed once the connection is back. Bounded: beyond `maxBytes` the oldest pieces are
// dropped, and the owner is told once per outage. Positions are ms given by the owner.
class OutageBuffer {
  public:
    static constexpr std::int64_t defaultMaxBytes = 5 * 60 * 1000 * PCM16::bytesPerMs;

    struct Taken {
        std::vector<std::uint8_t> pcm;
        std::int64_t startMs = 0;
        std::int64_t droppedMs = 0;
        bool operator==(const Taken&) const = default;
    };

    // maxBytes must not be negative (std::invalid_argument).
    explicit OutageBuffer(std::int64_t maxBytes = defaultMaxBytes);

    // Holds the piece (moved in, not copied); true exactly when this call made the first drop
    // since the buffer was last emptied. The newest piece is never dropped.
    bool append(std::vector<std::uint8_t> pcm, std::int64_t atMs);

    // All held audio in one buffer, and empties the buffer; nothing when empty.
    std::optional<Taken> take();

    // Lets go of the oldest pieces that end at or before `ms`: audio that no longer needs holding.
    // This is not a drop (droppedMs stays as it was); the piece holding `ms` is kept whole.
    void releaseBefore(std::int64_t ms);

    bool isEmpty() const { return chunks_.empty(); }
    std::int64_t count() const { return bytes_; }
    // Position of the first held byte.
    std::optional<std::int64_t> startMs() const;
    std::int64_t droppedMs() const { return droppedBytes_ / PCM16::bytesPerMs; }
    std::int64_t maxBytes() const { return maxBytes_; }

  private:
    std::int64_t maxBytes_;
    std::deque<std::vector<std::uint8_t>> chunks_;
    std::int64_t bytes_ = 0;
    // Position of the first piece appended since the buffer was last emptied.
    std::optional<std::int64_t> firstStartMs_;
    // Counted in bytes, not ms per piece, so that pieces of a size that is not a whole number
    // of milliseconds do not make the positions drift as they are dropped or released.
    std::int64_t droppedBytes_ = 0;
    std::int64_t releasedBytes_ = 0;
};

}  // namespace tessarin
