// The resampler against the tap-by-tap evaluation of its formula, side by side over the same
// audio at the capture rates met in practice.
//
// BM_Reference/<rate> and BM_Resampler/<rate>: 10 s of mixed audio in 10 ms blocks;
// "ns_per_input_sample" is the cost per input sample.
// BM_TenMinutes/<rate>: ten minutes of mixed audio (tones, noise, silence, full-scale bursts)
// through both, in blocks of varying size (10 ms, single samples, odd sizes); reports the CPU
// cost of each per input sample, their ratio, the number of 16-bit samples (and floats) that
// differ, and how many output samples the Resampler recomputed tap by tap or could only vouch
// for as 16-bit samples.

#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include <benchmark/benchmark.h>

#include "../tests/support/audio_signals.hpp"
#include "../tests/support/reference_resampler.hpp"
#include "../tests/support/block_feeding.hpp"
#include "core/audio/pcm16.hpp"
#include "core/audio/resampler.hpp"

namespace {

using tessarin::Resampler;
using tessarin::test::ReferenceResampler;

const std::vector<float>& tenSeconds(double rate) {
    static std::map<double, std::vector<float>> audio;
    auto& samples = audio[rate];
    if (samples.empty()) {
        samples = tessarin::test::mixedAudio(rate, 10);
    }
    return samples;
}

benchmark::Counter nsPerSample(double samplesPerIteration) {
    return {samplesPerIteration * 1e-9,
            benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert};
}

template <typename AnyResampler>
void resampleInTenMsBlocks(benchmark::State& state) {
    const auto rate = static_cast<double>(state.range(0));
    const auto& audio = tenSeconds(rate);
    const auto block = static_cast<std::size_t>(rate / 100);
    for (auto _ : state) {
        AnyResampler resampler(rate, 24000, 16);
        for (std::size_t at = 0; at + block <= audio.size(); at += block) {
            auto output = resampler.process(std::span(audio).subspan(at, block));
            benchmark::DoNotOptimize(output.data());
        }
    }
    state.counters["ns_per_input_sample"] = nsPerSample(static_cast<double>(audio.size()));
}

void BM_Reference(benchmark::State& state) {
    resampleInTenMsBlocks<ReferenceResampler>(state);
}
void BM_Resampler(benchmark::State& state) {
    resampleInTenMsBlocks<Resampler>(state);
}

// CPU time of this thread: the machine may be busy with other work.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_TenMinutes(benchmark::State& state) {
    const auto rate = static_cast<double>(state.range(0));
    constexpr int segments = 60;  // of 10 s each
    double referenceSeconds = 0;
    double oursSeconds = 0;
    std::int64_t inputSamples = 0;
    std::int64_t outputSamples = 0;
    std::int64_t differingPCM16 = 0;
    std::int64_t differingFloats = 0;
    std::int64_t recomputed = 0;
    std::int64_t approximated = 0;
    for (auto _ : state) {
        ReferenceResampler reference(rate, 24000, 16);
        Resampler ours(rate, 24000, 16);
        for (int segment = 0; segment < segments; ++segment) {
            const auto audio =
                tessarin::test::mixedAudio(rate, 10, static_cast<std::uint32_t>(segment));
            const auto sizes = tessarin::test::mixedBlockSizes(audio.size(), rate,
                                                               static_cast<std::uint32_t>(segment));
            const double referenceStart = threadSeconds();
            const auto expected = tessarin::test::resampleInBlocks(reference, audio, sizes);
            const double oursStart = threadSeconds();
            const auto got = tessarin::test::resampleInBlocks(ours, audio, sizes);
            const double end = threadSeconds();
            referenceSeconds += oursStart - referenceStart;
            oursSeconds += end - oursStart;
            inputSamples += static_cast<std::int64_t>(audio.size());
            outputSamples += static_cast<std::int64_t>(got.size());
            differingPCM16 += static_cast<std::int64_t>(std::max(got.size(), expected.size()) -
                                                        std::min(got.size(), expected.size()));
            for (std::size_t i = 0; i < std::min(got.size(), expected.size()); ++i) {
                differingPCM16 += tessarin::PCM16::encodeSample(got[i]) !=
                                  tessarin::PCM16::encodeSample(expected[i]);
                differingFloats += std::memcmp(&got[i], &expected[i], sizeof(float)) != 0;
            }
        }
        recomputed = ours.recomputedSamples();
        approximated = ours.approximatedSamples();
    }
    const auto samples = static_cast<double>(inputSamples);
    state.counters["reference_ns"] = referenceSeconds * 1e9 / samples;
    state.counters["ours_ns"] = oursSeconds * 1e9 / samples;
    state.counters["ratio"] = referenceSeconds / oursSeconds;
    state.counters["outputs"] = static_cast<double>(outputSamples);
    state.counters["differing_pcm16"] = static_cast<double>(differingPCM16);
    state.counters["differing_floats"] = static_cast<double>(differingFloats);
    state.counters["recomputed"] = static_cast<double>(recomputed);
    state.counters["approximated"] = static_cast<double>(approximated);
}

void captureRates(benchmark::internal::Benchmark* benchmark) {
    for (const int rate : {16000, 44100, 48000, 96000}) {
        benchmark->Arg(rate);
    }
}

}  // namespace

BENCHMARK(BM_Reference)->Apply(captureRates)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resampler)->Apply(captureRates)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TenMinutes)->Apply(captureRates)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
