#include "core/audio/resampler.hpp"

#include "core/audio/pcm16.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>

// Where a sum must equal the formula's tap-by-tap evaluation, each product and each addition
// must round on its own: no fused multiply-add. (GCC does not fuse in ISO C++ mode, which the
// build uses.)
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace tessarin {
namespace {

constexpr double pi = std::numbers::pi;

// How far, at most, a kernel weight computed by angle addition lies from the one computed tap
// by tap with sin and cos: a few units in the last place of weights below 1 (measured: at most
// 5.6e-16 over 20 000 read positions at each of nine rates), with a wide margin.
constexpr double kernelTolerance = 8e-15;

// Pairs of doubles, so that the taps of a kernel are computed two at a time (SSE2 / NEON).
using Double2 = double __attribute__((vector_size(16)));
using Bits2 = std::uint64_t __attribute__((vector_size(16)));

Double2 pairAt(const double* values) {
    Double2 pair;
    std::memcpy(&pair, values, sizeof pair);
    return pair;
}

Double2 widenedPairAt(const float* values) {
    return Double2{values[0], values[1]};
}

Double2 magnitude(Double2 pair) {
    constexpr std::uint64_t allButSign = ~(std::uint64_t{1} << 63);
    return std::bit_cast<Double2>(std::bit_cast<Bits2>(pair) & Bits2{allButSign, allButSign});
}

double total(Double2 first, Double2 second) {
    return (first[0] + first[1]) + (second[0] + second[1]);
}

}  // namespace

Resampler::Resampler(double from, double to, int zeroCrossings)
    : inputRate_(from), outputRate_(to), zeroCrossings_(zeroCrossings) {
    const bool positive = std::isfinite(from) && std::isfinite(to) && from > 0 && to > 0;
    if (!positive || zeroCrossings < 1) {
        throw std::invalid_argument(
            "Resampler needs positive finite rates and at least one zero crossing");
    }
    step_ = from / to;
    cutoff_ = std::min(to / from, 1.0) * 0.95;
    const double halfWidth = std::ceil(zeroCrossings / cutoff_);
    if (halfWidth > (1 << 20)) {
        throw std::invalid_argument("Resampler kernel would be too long");
    }
    halfWidth_ = static_cast<int>(halfWidth);
    buffer_.assign(static_cast<std::size_t>(halfWidth_), 0.0f);
    position_ = halfWidth_;

    const auto taps = static_cast<std::size_t>(2 * halfWidth_);
    kernel_.resize(taps);
    // The read position starts on a whole sample; with a whole-number step it stays on one, so
    // every output sample has the same tap distances and thus the same kernel.
    integerStep_ = step_ == std::floor(step_) && step_ < static_cast<double>(1LL << 52);
    if (integerStep_) {
        for (std::size_t i = 0; i < taps; ++i) {
            kernel_[i] = tapWeight(static_cast<double>(static_cast<int>(i) - halfWidth_ + 1));
        }
    } else {
        fromCentre_ = angleSteps(0);
        fromNext_ = angleSteps(1);
    }
}

// The weight of a tap at distance x from the read position, exactly as the defining formula
// evaluates it; `weight * sample` is the tap's contribution.
double Resampler::tapWeight(double x) const {
    if (std::abs(x) >= halfWidth_) {
        return 0;
    }
    const double a = cutoff_ * pi * x;
    const double sinc = a == 0 ? 1.0 : std::sin(a) / a;
    const double t = (x / halfWidth_ + 1) * 0.5;
    const double window = 0.42 - 0.5 * std::cos(2 * pi * t) + 0.08 * std::cos(4 * pi * t);
    return sinc * cutoff_ * window;
}

Resampler::AngleSteps Resampler::angleSteps(int base) const {
    AngleSteps steps;
    for (int m = -halfWidth_ + 1; m <= halfWidth_; ++m) {
        const double sincAngle = (m - base) * (cutoff_ * pi);
        const double windowAngle = (m - base) * pi / halfWidth_;
        steps.sincCos.push_back(std::cos(sincAngle));
        steps.sincSin.push_back(std::sin(sincAngle));
        steps.windowCos.push_back(std::cos(windowAngle));
        steps.windowSin.push_back(std::sin(windowAngle));
    }
    return steps;
}

std::vector<float> Resampler::process(std::span<const float> input) {
    std::vector<float> output;
    process(input, output);
    return output;
}

void Resampler::process(std::span<const float> input, std::vector<float>& output) {
    output.clear();
    if (inputRate_ == outputRate_) {
        output.assign(input.begin(), input.end());
        return;
    }
    buffer_.insert(buffer_.end(), input.begin(), input.end());
    output.reserve(static_cast<std::size_t>(static_cast<double>(input.size()) / step_) + 2);
    const auto available = static_cast<std::int64_t>(buffer_.size());
    auto centre = static_cast<std::int64_t>(position_);
    if (integerStep_) {
        const auto stride = static_cast<std::int64_t>(step_);
        while (centre + 3 * stride + halfWidth_ < available) {
            appendFourSamples(centre, stride, output);
            position_ += 4 * step_;  // exact: whole numbers
            centre = static_cast<std::int64_t>(position_);
        }
    }
    while (centre + halfWidth_ < available) {
        output.push_back(outputSample(centre));
        position_ += step_;
        centre = static_cast<std::int64_t>(position_);
    }
    // Keep the halfWidth - 1 samples before the next read position and everything after it.
    const std::int64_t drop = centre - halfWidth_;
    if (drop > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + drop);
        position_ -= static_cast<double>(drop);
    }
}

// The kernel for a read position `fraction` past its centre sample. Tap m lies at distance
// x = m - fraction. Its sinc and window angles are the base tap's plus a fixed step per tap, so
// their sines and cosines follow from the base tap's by angle addition. The base is the tap
// nearest the read position, where sinc's sine is small and must be computed directly.
void Resampler::fillKernel(double fraction) {
    const int base = fraction > 0.5 ? 1 : 0;
    const AngleSteps& steps = base == 0 ? fromCentre_ : fromNext_;
    const double baseX = base - fraction;
    const double cutoffPi = cutoff_ * pi;
    const double baseAngle = cutoffPi * baseX;
    const double baseSin = std::sin(baseAngle);
    const double baseCos = std::cos(baseAngle);
    const double baseWindowAngle = pi * baseX / halfWidth_;
    const double baseWindowSin = std::sin(baseWindowAngle);
    const double baseWindowCos = std::cos(baseWindowAngle);

    // k = sinc * cutoff * window = sin(a) / (cutoff pi x) * cutoff * window
    //   = (sin(a) / pi) * window / x, with the 1 / pi folded into the base sine and cosine.
    const Double2 sineBase = Double2{baseSin, baseSin} / pi;
    const Double2 cosineBase = Double2{baseCos, baseCos} / pi;
    const Double2 windowSinBase = {baseWindowSin, baseWindowSin};
    const Double2 windowCosBase = {baseWindowCos, baseWindowCos};
    const Double2 fractions = {fraction, fraction};
    const std::size_t taps = kernel_.size();  // even: 2 * halfWidth
    const double firstM = -halfWidth_ + 1;
    for (std::size_t i = 0; i < taps; i += 2) {
        const double m = firstM + static_cast<double>(i);
        const Double2 x = Double2{m, m + 1} - fractions;
        const Double2 sine =
            sineBase * pairAt(&steps.sincCos[i]) + cosineBase * pairAt(&steps.sincSin[i]);
        // The Blackman window 0.42 - 0.5 cos(2 pi t) + 0.08 cos(4 pi t) at t = (x / hw + 1) / 2,
        // written with c = cos(pi x / hw): 0.34 + 0.5 c + 0.16 c^2.
        const Double2 c = windowCosBase * pairAt(&steps.windowCos[i]) -
                          windowSinBase * pairAt(&steps.windowSin[i]);
        const Double2 window = 0.34 + c * (0.5 + 0.16 * c);
        const Double2 weights = (sine * window) / x;
        std::memcpy(&kernel_[i], &weights, sizeof weights);
    }
    if (fraction == 0) {
        // The tap at the read position (sinc 1), and the one a half-width after it, which lies
        // just outside the window.
        kernel_[static_cast<std::size_t>(halfWidth_ - 1)] = tapWeight(0);
        kernel_[taps - 1] = 0;
    }
}

// With a whole-number step the kernel is the same for every output sample and equal, weight by
// weight, to the tap-by-tap one, so summing in the same order gives the same value. Four output
// samples are summed side by side: each sum still runs tap by tap in order, but the four do not
// wait for one another. The last tap lies exactly a half-width from the read position, just
// outside the window, and is left out as the formula leaves it out.
void Resampler::appendFourSamples(std::int64_t centre, std::int64_t stride,
                                  std::vector<float>& output) const {
    const float* first = buffer_.data() + (centre - halfWidth_ + 1);
    const float* second = first + stride;
    const float* third = second + stride;
    const float* fourth = third + stride;
    const double* kernel = kernel_.data();
    const std::size_t taps = kernel_.size() - 1;
    double sums[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < taps; ++i) {
        const double weight = kernel[i];
        sums[0] += weight * static_cast<double>(first[i]);
        sums[1] += weight * static_cast<double>(second[i]);
        sums[2] += weight * static_cast<double>(third[i]);
        sums[3] += weight * static_cast<double>(fourth[i]);
    }
    for (const double sum : sums) {
        output.push_back(static_cast<float>(sum));
    }
}

float Resampler::outputSample(std::int64_t centre) {
    const float* samples = buffer_.data() + (centre - halfWidth_ + 1);
    if (integerStep_) {
        double sum = 0;
        for (std::size_t i = 0; i + 1 < kernel_.size(); ++i) {
            sum += kernel_[i] * static_cast<double>(samples[i]);
        }
        return static_cast<float>(sum);
    }
    fillKernel(position_ - static_cast<double>(centre));
    const double* kernel = kernel_.data();
    const std::size_t taps = kernel_.size();
    // Two pairs of running sums, so that the additions do not wait for one another, with the
    // sizes the error bound below needs.
    Double2 sums[2] = {};
    Double2 weighted[2] = {};
    Double2 magnitudes[2] = {};
    auto accumulate = [&](std::size_t i, std::size_t lane) {
        const Double2 input = widenedPairAt(samples + i);
        const Double2 contributions = pairAt(kernel + i) * input;
        sums[lane] += contributions;
        weighted[lane] += magnitude(contributions);
        magnitudes[lane] += magnitude(input);
    };
    std::size_t i = 0;
    for (; i + 4 <= taps; i += 4) {
        accumulate(i, 0);
        accumulate(i + 2, 1);
    }
    if (i < taps) {
        accumulate(i, 0);
    }
    const double sum = total(sums[0], sums[1]);
    const double weightedMagnitude = total(weighted[0], weighted[1]);
    const double inputMagnitude = total(magnitudes[0], magnitudes[1]);

    // The tap-by-tap sum differs from this one by at most the kernel differences times the
    // samples plus the rounding of the two sums of `taps` products. If every value within that
    // bound rounds to the same float, so does the tap-by-tap sum.
    const double rounding = static_cast<double>(taps + 2) * std::numeric_limits<double>::epsilon();
    const double bound = (kernelTolerance * inputMagnitude + rounding * weightedMagnitude) * 1.01;
    const auto low = static_cast<float>(sum - bound);
    const auto high = static_cast<float>(sum + bound);
    if (low == high) {
        return low;
    }
    // Values whose float is uncertain but whose 16-bit sample is not (the rounding noise of an
    // output that is all but zero, say) are kept: every value within the bound, the tap-by-tap
    // sum included, becomes the same PCM16 sample.
    if (std::isfinite(sum) && std::isfinite(bound) &&
        PCM16::encodeSample(low) == PCM16::encodeSample(high)) {
        ++approximated_;
        return static_cast<float>(sum);
    }
    ++recomputed_;
    return exactSample(centre);
}

float Resampler::exactSample(std::int64_t centre) const {
    double sum = 0;
    for (std::int64_t j = centre - halfWidth_ + 1; j <= centre + halfWidth_; ++j) {
        const double x = static_cast<double>(j) - position_;
        if (std::abs(x) < halfWidth_) {
            sum += tapWeight(x) * static_cast<double>(buffer_[static_cast<std::size_t>(j)]);
        }
    }
    return static_cast<float>(sum);
}

}  // namespace tessarin
