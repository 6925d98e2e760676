#include "core/audio/turn_detector.hpp"

#include <cmath>
#include <stdexcept>

namespace tessarin {

TurnDetector::TurnDetector(int rate)
    : rate_(rate), windowSize_(std::int64_t{rate} * windowMs / 1000) {
    if (windowSize_ < 1) {
        throw std::invalid_argument("TurnDetector needs a rate of at least 20 samples per second");
    }
}

std::vector<TurnDetector::Action> TurnDetector::feed(std::span<const std::int16_t> samples) {
    std::vector<Action> actions;
    for (const std::int16_t sample : samples) {
        const double x = sample / 32768.0;
        windowEnergy_ += x * x;
        ++windowCount_;
        ++total_;
        if (windowCount_ == windowSize_) {
            completeWindow(actions);
        }
    }
    return actions;
}

void TurnDetector::completeWindow(std::vector<Action>& actions) {
    const double rms = std::sqrt(windowEnergy_ / static_cast<double>(windowSize_));
    windowEnergy_ = 0;
    windowCount_ = 0;
    if (rms > speechRMS) {
        stretchSpeech_ = true;
        trailingSilenceMs_ = 0;
    } else {
        trailingSilenceMs_ += windowMs;
    }
    const std::int64_t stretchMs = toMs(total_ - stretchStart_);
    const bool pauseAfterEnoughSpeech = stretchSpeech_ && trailingSilenceMs_ >= commitSilenceMs &&
                                        stretchMs - trailingSilenceMs_ >= minSpeechMs;
    if (pauseAfterEnoughSpeech) {
        actions.push_back(commit());
        return;
    }
    if (stretchMs < maxStretchMs) {
        return;
    }
    if (stretchSpeech_) {
        actions.push_back(commit());
    } else {
        stretchStart_ = total_;
        trailingSilenceMs_ = 0;
        actions.push_back(Action::skipSilence());
    }
}

TurnDetector::Action TurnDetector::commit() {
    const Action action = Action::commit(toMs(stretchStart_), toMs(total_));
    stretchStart_ = total_;
    stretchSpeech_ = false;
    trailingSilenceMs_ = 0;
    return action;
}

std::optional<TurnDetector::Action> TurnDetector::flush() {
    if (stretchStart_ < total_ && stretchSpeech_) {
        return commit();
    }
    return std::nullopt;
}

}  // namespace tessarin
