#include "core/audio/outage_buffer.hpp"

#include <stdexcept>

namespace tessarin {

OutageBuffer::OutageBuffer(std::int64_t maxBytes) : maxBytes_(maxBytes) {
    if (maxBytes < 0) {
        throw std::invalid_argument("OutageBuffer bound must not be negative");
    }
}

bool OutageBuffer::append(std::vector<std::uint8_t> pcm, std::int64_t atMs) {
    if (pcm.empty()) {
        return false;
    }
    if (chunks_.empty()) {
        firstStartMs_ = atMs;
    }
    bytes_ += static_cast<std::int64_t>(pcm.size());
    chunks_.push_back(std::move(pcm));

    const bool hadDropped = droppedBytes_ > 0;
    while (bytes_ > maxBytes_ && chunks_.size() >= 2) {
        const auto size = static_cast<std::int64_t>(chunks_.front().size());
        chunks_.pop_front();
        bytes_ -= size;
        droppedBytes_ += size;
    }
    return !hadDropped && droppedBytes_ > 0;
}

std::optional<OutageBuffer::Taken> OutageBuffer::take() {
    if (chunks_.empty()) {
        return std::nullopt;
    }
    Taken taken;
    taken.startMs = *startMs();
    taken.droppedMs = droppedMs();
    taken.pcm.reserve(static_cast<std::size_t>(bytes_));
    for (const auto& chunk : chunks_) {
        taken.pcm.insert(taken.pcm.end(), chunk.begin(), chunk.end());
    }
    chunks_.clear();
    bytes_ = 0;
    firstStartMs_.reset();
    droppedBytes_ = 0;
    releasedBytes_ = 0;
    return taken;
}

void OutageBuffer::releaseBefore(std::int64_t ms) {
    while (!chunks_.empty()) {
        const auto size = static_cast<std::int64_t>(chunks_.front().size());
        const std::int64_t skipped = droppedBytes_ + releasedBytes_ + size;
        if (*firstStartMs_ + skipped / PCM16::bytesPerMs > ms) {
            return;
        }
        chunks_.pop_front();
        bytes_ -= size;
        releasedBytes_ += size;
    }
    firstStartMs_.reset();
    droppedBytes_ = 0;
    releasedBytes_ = 0;
}

std::optional<std::int64_t> OutageBuffer::startMs() const {
    if (!firstStartMs_) {
        return std::nullopt;
    }
    return *firstStartMs_ + (droppedBytes_ + releasedBytes_) / PCM16::bytesPerMs;
}

}  // namespace tessarin
