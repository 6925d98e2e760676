#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tessarin {

// Finds the ends of spoken turns in 16-bit PCM by the energy of 50 ms windows. All times are
// derived from the number of samples fed: milliseconds since the first sample.
class TurnDetector {
  public:
    static constexpr std::int64_t commitSilenceMs = 600;
    static constexpr std::int64_t maxStretchMs = 30000;
    static constexpr std::int64_t minSpeechMs = 300;
    static constexpr std::int64_t windowMs = 50;
    static constexpr double speechRMS = 0.008;

    struct Action {
        enum class Kind { commit, skipSilence };

        Kind kind = Kind::skipSilence;
        // For `commit`: the committed stretch, ms since the first sample fed.
        std::int64_t startMs = 0;
        std::int64_t endMs = 0;

        static Action commit(std::int64_t startMs, std::int64_t endMs) {
            return {Kind::commit, startMs, endMs};
        }
        static Action skipSilence() { return {Kind::skipSilence, 0, 0}; }
        bool isCommit() const { return kind == Kind::commit; }

        bool operator==(const Action&) const = default;
    };

    // `rate` in samples per second; at least 20 so that a window holds a sample
    // (std::invalid_argument otherwise).
    explicit TurnDetector(int rate);

    // The actions the samples caused, in order (often none).
    std::vector<Action> feed(std::span<const std::int16_t> samples);

    // A final commit when the open stretch holds speech. The window being filled is left alone.
    std::optional<Action> flush();

    // Closes the open stretch as a commit, whatever it holds.
    Action commit();

    std::int64_t elapsedMs() const { return toMs(total_); }
    bool inSpeech() const { return stretchSpeech_; }
    int rate() const { return rate_; }
    // Samples fed so far, and the sample at which the open stretch began.
    std::int64_t total() const { return total_; }
    std::int64_t stretchStart() const { return stretchStart_; }

  private:
    std::int64_t toMs(std::int64_t sampleIndex) const { return sampleIndex * 1000 / rate_; }
    void completeWindow(std::vector<Action>& actions);

    int rate_;
    std::int64_t windowSize_;
    std::int64_t total_ = 0;
    std::int64_t stretchStart_ = 0;
    bool stretchSpeech_ = false;
    std::int64_t trailingSilenceMs_ = 0;
    double windowEnergy_ = 0;
    std::int64_t windowCount_ = 0;
};

}  // namespace tessarin
