#include "recording/pipeline/capture_inlet.hpp"

#include <utility>

#include "core/audio/audio_queue.hpp"
#include "core/audio/pcm16.hpp"
#include "recording/pipeline/level_meter.hpp"

namespace tessarin {

CaptureInlet::CaptureInlet(std::shared_ptr<LevelMeter> meter, std::shared_ptr<AudioQueue> queue)
    : meter_(std::move(meter)), queue_(std::move(queue)) {}

void CaptureInlet::deliver(std::span<const std::uint8_t> pcm) {
    std::span<const std::uint8_t> whole = pcm;
    if (carried_ || pcm.size() % PCM16::bytesPerSample != 0) {
        joined_.clear();
        if (carried_) {
            joined_.push_back(*carried_);
            carried_.reset();
        }
        joined_.insert(joined_.end(), pcm.begin(), pcm.end());
        if (joined_.size() % PCM16::bytesPerSample != 0) {
            carried_ = joined_.back();
            joined_.pop_back();
        }
        whole = joined_;
    }
    if (whole.empty()) {
        return;
    }
    meter_->measure(whole);
    queue_->push(whole);
}

}  // namespace tessarin
