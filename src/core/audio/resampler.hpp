#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessarin {

// Streaming windowed-sinc sample-rate converter for mono float audio.
//
// Output sample k stands for input time k * step and is the sum over the 2 * halfWidth nearest
// input samples of sinc(cutoff * pi * x) * cutoff * Blackman(x) * input, where x is the tap's
// distance from the read position, evaluated in double and stored as float. An output sample is
// produced only once the right half of its kernel has arrived; there is no flush, so the last
// ~halfWidth input samples of a stream yield nothing.
//
// The values are those of evaluating that formula tap by tap with sin and cos, computed far more
// cheaply. With a whole-number step (48 and 96 kHz to 24 kHz) every output sample uses one
// kernel, computed once, and the floats are identical. Otherwise each output sample's kernel
// follows from two sine/cosine pairs by angle addition, with a bound on how far the sum can be
// from the tap-by-tap one. Where that bound leaves the float in doubt, the sample is recomputed
// tap by tap unless its 16-bit PCM value is certain all the same (typically an output within
// rounding noise of zero, whose float then differs in its last places). So the PCM16 samples
// are always identical.
class Resampler {
  public:
    // Both rates must be positive and finite, zeroCrossings at least 1 (std::invalid_argument).
    Resampler(double from, double to, int zeroCrossings);

    // Returns the output samples completed by `input`. Equal rates pass the input through.
    std::vector<float> process(std::span<const float> input);
    // The same into `output`, whose contents it replaces: a capture thread that keeps passing the
    // same vector stops allocating once the vector and the history have grown to the block size.
    void process(std::span<const float> input, std::vector<float>& output);

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }
    int zeroCrossings() const { return zeroCrossings_; }
    double step() const { return step_; }
    double cutoff() const { return cutoff_; }
    int halfWidth() const { return halfWidth_; }

    // Diagnostics: output samples so far that had to be recomputed tap by tap, and those whose
    // float may differ from the tap-by-tap one in its last places but not as a 16-bit sample.
    std::int64_t recomputedSamples() const { return recomputed_; }
    std::int64_t approximatedSamples() const { return approximated_; }

  private:
    // Angle-addition constants for one choice of the tap whose sines and cosines are computed
    // directly (the tap at the read position's integer part, or the one after it).
    struct AngleSteps {
        std::vector<double> sincCos;    // cos((m - base) * cutoff * pi) for tap m
        std::vector<double> sincSin;    // sin((m - base) * cutoff * pi)
        std::vector<double> windowCos;  // cos((m - base) * pi / halfWidth)
        std::vector<double> windowSin;  // sin((m - base) * pi / halfWidth)
    };

    double tapWeight(double x) const;
    float outputSample(std::int64_t centre);
    void appendFourSamples(std::int64_t centre, std::int64_t stride,
                           std::vector<float>& output) const;
    void fillKernel(double fraction);
    float exactSample(std::int64_t centre) const;
    AngleSteps angleSteps(int base) const;

    double inputRate_;
    double outputRate_;
    int zeroCrossings_;
    double step_;
    double cutoff_;
    int halfWidth_;
    std::vector<float> buffer_;
    double position_;

    bool integerStep_;
    // The kernel of the current output sample, tap by tap (fixed when the step is an integer).
    std::vector<double> kernel_;
    AngleSteps fromCentre_;
    AngleSteps fromNext_;
    std::int64_t recomputed_ = 0;
    std::int64_t approximated_ = 0;
};

}  // namespace tessarin
