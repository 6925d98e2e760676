#pragma once

// Feeding a stream to a streaming stage in blocks of varying size, to show that its output does
// not depend on how the stream is split (header-only, so that the benchmarks can use it without
// the test support library).

#include <cstddef>
#include <iterator>
#include <random>
#include <span>
#include <vector>

namespace tessarin::test {

// Block sizes adding up to `total`: 10 ms blocks (at `rate` items per second), runs of single
// items, odd sizes, empty and large blocks, in a fixed pseudo-random order.
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
            case 2:  // a run of single items
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

// Passes `data` to `feed` in blocks of the given sizes; returns all that `feed` returned, in order.
template <typename Data, typename Feed>
auto feedInBlocks(const Data& data, const std::vector<std::size_t>& sizes, Feed feed) {
    const std::span all(data);
    decltype(feed(all)) output;
    std::size_t at = 0;
    for (const std::size_t size : sizes) {
        auto part = feed(all.subspan(at, size));
        output.insert(output.end(), std::make_move_iterator(part.begin()),
                      std::make_move_iterator(part.end()));
        at += size;
    }
    return output;
}

template <typename AnyResampler>
std::vector<float> resampleInBlocks(AnyResampler& resampler, std::span<const float> audio,
                                    const std::vector<std::size_t>& sizes) {
    return feedInBlocks(audio, sizes,
                        [&](std::span<const float> part) { return resampler.process(part); });
}

}  // namespace tessarin::test
