#pragma once

// Feeding a stream to a streaming stage in blocks of varying size, to show that its output does
// not depend on how the stream is split (header-only, for the benchmarks too).

#include <cstddef>
#include <iterator>
#include <random>
#include <span>
#include <vector>

namespace tessarin::test {

// Block sizes adding up to `total`: 10 ms blocks (at `rate` items per second), single items, odd
// sizes, empty and large blocks, in a fixed pseudo-random order.
inline std::vector<std::size_t> mixedBlockSizes(std::size_t total, double rate,
                                                std::uint32_t seed = 17) {
    std::mt19937 random(seed);
    const auto tenMs = static_cast<std::size_t>(rate / 100);
    std::vector<std::size_t> sizes;
    for (std::size_t fed = 0; fed < total; fed += sizes.back()) {
        const std::size_t kind = random() % 6;
        const std::size_t size = kind < 2    ? tenMs
                                 : kind == 2 ? 1
                                 : kind == 3 ? 2 * (random() % 1500) + 1
                                             : random() % (20 * tenMs + 1);
        sizes.push_back(std::min(size, total - fed));
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
