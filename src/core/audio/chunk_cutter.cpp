#include "core/audio/chunk_cutter.hpp"

#include <algorithm>

#include "core/audio/pcm16.hpp"

namespace tessarin {

ChunkCutter::ChunkCutter() : detector_(PCM16::sampleRate) {}

std::vector<ChunkCutter::Chunk> ChunkCutter::feed(std::span<const std::uint8_t> pcm) {
    pending_.insert(pending_.end(), pcm.begin(), pcm.end());
    std::vector<Chunk> chunks;
    analyse(samplesOf(pcm), chunks);
    return chunks;
}

std::vector<std::int16_t> ChunkCutter::samplesOf(std::span<const std::uint8_t> pcm) {
    if (!oddByte_ || pcm.empty()) {
        if (pcm.size() % 2 == 1) {
            oddByte_ = pcm.back();
        }
        return PCM16::decode(pcm);
    }
    // The first byte completes the sample begun by the previous feed.
    const auto joined = static_cast<std::int16_t>(*oddByte_ | (pcm.front() << 8));
    oddByte_.reset();
    std::vector<std::int16_t> samples = samplesOf(pcm.subspan(1));
    samples.insert(samples.begin(), joined);
    return samples;
}

// The samples go to the detector one analysis window at a time, and each action is acted on
// at the point of the stream where it happened. A large feed (audio held back during an outage)
// thus cuts exactly as the same audio fed in small pieces: silence is dropped up to the point
// where it was found, not up to the end of the feed, and no chunk outgrows the hard limit
// between two actions of one feed.
void ChunkCutter::analyse(std::span<const std::int16_t> samples, std::vector<Chunk>& chunks) {
    while (!samples.empty()) {
        const std::int64_t toWindowEnd =
            detector_.windowSize() - detector_.total() % detector_.windowSize();
        const auto n = std::min(samples.size(), static_cast<std::size_t>(toWindowEnd));
        for (const TurnDetector::Action& action : detector_.feed(samples.first(n))) {
            act(action, chunks);
        }
        applyHardLimit(chunks);
        samples = samples.subspan(n);
    }
}

void ChunkCutter::act(const TurnDetector::Action& action, std::vector<Chunk>& chunks) {
    if (action.isCommit()) {
        const std::int64_t end = action.endMs;
        lastTurnEnd_ = end;
        if (end > chunkStart_ && end - chunkStart_ >= targetMs) {
            keep(cut(end), chunks);
        }
        return;
    }
    if (lastTurnEnd_ && *lastTurnEnd_ > chunkStart_) {
        keep(cut(*lastTurnEnd_), chunks);
    }
    const std::int64_t now = elapsedMs();
    if (chunkStart_ < now) {
        drop(now);
    }
}

void ChunkCutter::applyHardLimit(std::vector<Chunk>& chunks) {
    while (elapsedMs() - chunkStart_ >= maxMs) {
        if (lastTurnEnd_ && *lastTurnEnd_ > chunkStart_) {
            keep(cut(*lastTurnEnd_), chunks);
        } else if (detector_.inSpeech()) {
            keep(cut(chunkStart_ + maxMs), chunks);
        } else {
            drop(chunkStart_ + maxMs);
        }
    }
}

void ChunkCutter::keep(std::optional<Chunk> chunk, std::vector<Chunk>& chunks) {
    if (chunk) {
        chunks.push_back(std::move(*chunk));
    }
}

std::optional<ChunkCutter::Chunk> ChunkCutter::finish() {
    const std::int64_t end = elapsedMs();
    if (!lastTurnEnd_) {
        const bool openStretchHoldsSpeech =
            detector_.stretchStart() < detector_.total() && detector_.inSpeech();
        if (!openStretchHoldsSpeech) {
            return std::nullopt;
        }
        detector_.commit();
    }
    if (end <= chunkStart_) {
        return std::nullopt;
    }
    return cut(end);
}

std::vector<ChunkCutter::Stretch> ChunkCutter::silenceLeftOut(std::span<const std::uint8_t> pcm) {
    ChunkCutter cutter;
    std::vector<Chunk> chunks = cutter.feed(pcm);
    if (std::optional<Chunk> last = cutter.finish()) {
        chunks.push_back(std::move(*last));
    }
    std::vector<Stretch> silences;
    std::int64_t reached = 0;
    for (const Chunk& chunk : chunks) {
        if (chunk.startedMs > reached) {
            silences.push_back({reached, chunk.startedMs});
        }
        reached = chunk.endedMs;
    }
    if (cutter.elapsedMs() > reached) {
        silences.push_back({reached, cutter.elapsedMs()});
    }
    return silences;
}

std::optional<ChunkCutter::Chunk> ChunkCutter::cut(std::int64_t atMs) {
    if (chunkStart_ >= atMs) {
        return std::nullopt;
    }
    const std::int64_t wanted = (atMs - chunkStart_) * PCM16::bytesPerMs;
    const auto available = static_cast<std::int64_t>(pending_.size());
    const std::int64_t n = std::min(wanted, available);
    const auto even = static_cast<std::ptrdiff_t>(n - n % 2);
    Chunk chunk{chunkStart_, atMs, {pending_.begin(), pending_.begin() + even}};
    pending_.erase(pending_.begin(), pending_.begin() + even);
    chunkStart_ = atMs;
    lastTurnEnd_.reset();
    if (n <= 1) {
        return std::nullopt;
    }
    return chunk;
}

void ChunkCutter::drop(std::int64_t toMs) {
    const std::int64_t wanted = std::max<std::int64_t>(0, (toMs - chunkStart_) * PCM16::bytesPerMs);
    const std::int64_t n = std::min(wanted, static_cast<std::int64_t>(pending_.size()));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n - n % 2));
    chunkStart_ = toMs;
    lastTurnEnd_.reset();
}

}  // namespace tessarin
