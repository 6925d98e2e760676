#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tessarin {

class AudioQueue;
class LevelMeter;

// Where one capture source's buffers enter a recording: measured by the side's level meter and
// queued for its channel. It keeps the stream in whole samples: a source that hands over an odd
// number of bytes has the odd byte carried to its next buffer, so a stray byte never shifts every
// later sample. Empty buffers are ignored.
//
// Runs on the source's capture thread (one at a time); allocates only to re-align after an
// odd-sized buffer.
class CaptureInlet {
  public:
    CaptureInlet(std::shared_ptr<LevelMeter> meter, std::shared_ptr<AudioQueue> queue);

    void deliver(std::span<const std::uint8_t> pcm);

  private:
    std::shared_ptr<LevelMeter> meter_;
    std::shared_ptr<AudioQueue> queue_;
    std::optional<std::uint8_t> carried_;
    std::vector<std::uint8_t> joined_;
};

}  // namespace tessarin
