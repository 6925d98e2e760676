#pragma once

#include <span>
#include <vector>

namespace tessarin {

// Streaming windowed-sinc sample-rate converter for mono float audio.
//
// Output sample k stands for input time k * step and is the sum over the 2 * halfWidth nearest
// input samples of sinc(cutoff * pi * x) * cutoff * Blackman(x) * input, evaluated in double and
// stored as float. An output sample is produced only once the right half of its kernel has
// arrived; there is no flush, so the last ~halfWidth input samples of a stream yield nothing.
// How the stream is split into `process` calls does not change the output.
class Resampler {
  public:
    // Both rates must be positive and finite, zeroCrossings at least 1 (std::invalid_argument).
    Resampler(double from, double to, int zeroCrossings);

    // Returns the output samples completed by `input`. Equal rates pass the input through.
    std::vector<float> process(std::span<const float> input);

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }
    int zeroCrossings() const { return zeroCrossings_; }
    double step() const { return step_; }
    double cutoff() const { return cutoff_; }
    int halfWidth() const { return halfWidth_; }

  private:
    double inputRate_;
    double outputRate_;
    int zeroCrossings_;
    double step_;
    double cutoff_;
    int halfWidth_;
    std::vector<float> buffer_;
    double position_;
};

}  // namespace tessarin
