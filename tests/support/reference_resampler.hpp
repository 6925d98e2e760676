#pragma once

// The resampler's defining formula, evaluated the slow, obvious way: every tap of every output
// sample computes its sinc and Blackman window afresh with sin and cos (header-only, for the
// benchmarks too).

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace tessarin::test {

class ReferenceResampler {
  public:
    ReferenceResampler(double from, double to, int zeroCrossings)
        : step_(from / to),
          cutoff_(std::min(to / from, 1.0) * 0.95),
          halfWidth_(static_cast<int>(std::ceil(zeroCrossings / cutoff_))),
          buffer_(static_cast<std::size_t>(halfWidth_), 0.0f),
          position_(halfWidth_) {}

    std::vector<float> process(std::span<const float> input) {
#if defined(__clang__)
#pragma clang fp contract(off)  // every product and sum rounds on its own
#endif
        if (step_ == 1) {
            return {input.begin(), input.end()};
        }
        buffer_.insert(buffer_.end(), input.begin(), input.end());
        std::vector<float> output;
        output.reserve(static_cast<std::size_t>(static_cast<double>(input.size()) / step_) + 2);
        auto centre = static_cast<std::int64_t>(position_);
        while (centre + halfWidth_ < static_cast<std::int64_t>(buffer_.size())) {
            double sum = 0;
            for (std::int64_t j = centre - halfWidth_ + 1; j <= centre + halfWidth_; ++j) {
                const double x = static_cast<double>(j) - position_;
                double contribution = 0;
                if (std::abs(x) < halfWidth_) {
                    const double a = cutoff_ * std::numbers::pi * x;
                    const double sinc = a == 0 ? 1.0 : std::sin(a) / a;
                    const double t = (x / halfWidth_ + 1) * 0.5;
                    const double window = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * t) +
                                          0.08 * std::cos(4 * std::numbers::pi * t);
                    contribution = sinc * cutoff_ * window *
                                   static_cast<double>(buffer_[static_cast<std::size_t>(j)]);
                }
                sum += contribution;
            }
            output.push_back(static_cast<float>(sum));
            position_ += step_;
            centre = static_cast<std::int64_t>(position_);
        }
        const std::int64_t drop = centre - halfWidth_;
        if (drop > 0) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + drop);
            position_ -= static_cast<double>(drop);
        }
        return output;
    }

  private:
    double step_;
    double cutoff_;
    int halfWidth_;
    std::vector<float> buffer_;
    double position_;
};

}  // namespace tessarin::test
