#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace tessarin {

// One source's measurements during a self-test: `feed` and `note` run on the capture thread, the
// rest on the test's task; each operation is atomic under the meter's lock. `feed` allocates
// nothing.
class SelfTestMeter {
  public:
    // A sample of this magnitude or more counts as clipped.
    static constexpr int clipMagnitude = 32700;

    struct Totals {
        std::int64_t samples = 0;
        std::int64_t clipped = 0;
        bool anyNonZero = false;
        std::optional<std::string> note;
    };

    // One 24 kHz PCM16 buffer (an odd trailing byte is ignored).
    void feed(std::span<const std::uint8_t> pcm);
    // What the source said when it was interrupted.
    void note(std::string message);

    Totals totals() const;
    // The loudest buffer since the last take, as a 0-1 level.
    double takeLevel();
    // Milliseconds of audio delivered since the last take.
    std::int64_t takeDeliveredMs();

  private:
    mutable std::mutex mutex_;
    double peakRMS_ = 0;
    std::int64_t deliveredSamples_ = 0;
    Totals totals_;
};

}  // namespace tessarin
