#pragma once

// The block sizes in which the resampler tests and benchmark feed audio: 10 ms blocks, runs of
// single samples, odd sizes and the occasional large block, in a fixed pseudo-random order
// (header-only, so that the benchmarks can use it without the test support library).

#include <cstddef>
#include <random>
#include <span>
#include <vector>

namespace tessarin::test {

inline std::vector<std::size_t> mixedBlockSizes(std::size_t total, double rate,
                                                std::uint32_t seed = 17) {
    std::mt19937 random(seed);
    const auto tenMs = static_cast<std::size_t>(rate / 100);
    std::vector<std::size_t> sizes;
    std::size_t fed = 0;
    while (fed < total) {
        std::size_t size = 0;
        switch (random() % 5) {
            case 0:
            case 1:
                size = tenMs;
                break;
            case 2:  // a run of single samples
                for (int i = 0; i < 50 && fed < total; ++i, ++fed) {
                    sizes.push_back(1);
                }
                continue;
            case 3:
                size = 2 * std::uniform_int_distribution<std::size_t>(0, 1500)(random) + 1;
                break;
            default:
                size = std::uniform_int_distribution<std::size_t>(0, 20 * tenMs)(random);
                break;
        }
        size = std::min(size, total - fed);
        sizes.push_back(size);
        fed += size;
    }
    return sizes;
}

// Runs `audio` through `resampler` in blocks of the given sizes; returns all output.
template <typename AnyResampler>
std::vector<float> resampleInBlocks(AnyResampler& resampler, std::span<const float> audio,
                                    const std::vector<std::size_t>& sizes) {
    std::vector<float> output;
    std::size_t at = 0;
    for (const std::size_t size : sizes) {
        const auto part = resampler.process(audio.subspan(at, size));
        output.insert(output.end(), part.begin(), part.end());
        at += size;
    }
    return output;
}

}  // namespace tessarin::test
