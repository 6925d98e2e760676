#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/audio/turn_detector.hpp"

namespace tessarin {

// Cuts one speaker's 24 kHz mono PCM16 stream into upload chunks of about 20 s that end at a
// pause, never longer than 30 s; long silences are dropped. Times are ms of audio fed.
class ChunkCutter {
  public:
    static constexpr std::int64_t targetMs = 20000;
    static constexpr std::int64_t maxMs = 30000;

    struct Chunk {
        std::int64_t startedMs = 0;
        std::int64_t endedMs = 0;
        // The PCM16 bytes of that span (less at the very end of the stream).
        std::vector<std::uint8_t> pcm;

        bool operator==(const Chunk&) const = default;
    };

    struct Stretch {
        std::int64_t startedMs = 0;
        std::int64_t endedMs = 0;

        bool operator==(const Stretch&) const = default;
    };

    // The stretches of a whole stream that its chunks leave out as silence, in order.
    static std::vector<Stretch> silenceLeftOut(std::span<const std::uint8_t> pcm);

    ChunkCutter();

    // The chunks completed by this input, in order (often none).
    std::vector<Chunk> feed(std::span<const std::uint8_t> pcm);

    // The last chunk at the end of the stream, if it holds speech. Not fed again afterwards.
    std::optional<Chunk> finish();

    std::int64_t elapsedMs() const { return detector_.elapsedMs(); }
    std::int64_t chunkStart() const { return chunkStart_; }
    std::optional<std::int64_t> lastTurnEnd() const { return lastTurnEnd_; }

  private:
    std::optional<Chunk> cut(std::int64_t atMs);
    void drop(std::int64_t toMs);
    std::vector<std::int16_t> samplesOf(std::span<const std::uint8_t> pcm);
    void analyse(std::span<const std::int16_t> samples, std::vector<Chunk>& chunks);
    void act(const TurnDetector::Action& action, std::vector<Chunk>& chunks);
    void applyHardLimit(std::vector<Chunk>& chunks);
    static void keep(std::optional<Chunk> chunk, std::vector<Chunk>& chunks);

    TurnDetector detector_;
    std::vector<std::uint8_t> pending_;
    std::int64_t chunkStart_ = 0;
    std::optional<std::int64_t> lastTurnEnd_;
    // A byte of a sample split across two feeds, waiting for its other half.
    std::optional<std::uint8_t> oddByte_;
};

}  // namespace tessarin
