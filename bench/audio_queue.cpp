// What a push into the audio queue costs the capture thread, with a consumer draining the queue on
// an io_context thread as the recording's pump does.
//
// BM_PushBackToBack/<bytes>: pushes as fast as the thread can; the consumer keeps up or the queue
// drops (dropped_per_push). BM_PushToAWaitingConsumer/<bytes>: every push finds the consumer
// waiting, so every push also wakes it (manual time: the push call alone, in wall time, which
// includes any preemption by the consumer it wakes; thread_cpu_ns_per_push: the capture thread's
// own CPU time in the call). Both report the capture thread's heap allocations per push once warm
// (allocs_per_push).

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "../tests/support/allocation_probe.hpp"
#include "core/async/task.hpp"
#include "core/audio/audio_queue.hpp"

namespace {

using tessarin::AudioQueue;
using tessarin::Awaitable;
namespace AllocationProbe = tessarin::test::AllocationProbe;

// A queue with a consumer popping on a thread of its own until the queue is closed.
struct Pump {
    boost::asio::io_context io;
    std::shared_ptr<AudioQueue> queue = AudioQueue::create(io.get_executor());
    std::atomic<std::uint64_t> popped = 0;
    std::thread thread;

    Pump() {
        tessarin::Task<>::spawn(io.get_executor(), "bench pump", [this]() -> Awaitable<void> {
            std::vector<std::uint8_t> buffer;
            for (;;) {
                const bool more = co_await queue->pop(buffer);
                if (!more) {
                    co_return;
                }
                popped.fetch_add(1, std::memory_order_release);
            }
        });
        thread = std::thread([this] { io.run(); });
    }
    ~Pump() {
        queue->close();
        thread.join();
    }
    void waitUntilPopped(std::uint64_t count) const {
        while (popped.load(std::memory_order_acquire) < count) {
        }
    }
};

void BM_PushBackToBack(benchmark::State& state) {
    const std::vector<std::uint8_t> pcm(static_cast<std::size_t>(state.range(0)), 7);
    Pump pump;
    for (int i = 0; i < 2000; ++i) {  // warm: the storage of a full queue exists
        pump.queue->push(pcm);
    }
    const std::uint64_t droppedBefore = pump.queue->dropped();
    const std::size_t allocationsBefore = AllocationProbe::allocations;
    for (auto _ : state) {
        pump.queue->push(pcm);
    }
    const auto pushes = static_cast<double>(state.iterations());
    state.counters["allocs_per_push"] =
        static_cast<double>(AllocationProbe::allocations - allocationsBefore) / pushes;
    state.counters["dropped_per_push"] =
        static_cast<double>(pump.queue->dropped() - droppedBefore) / pushes;
}
BENCHMARK(BM_PushBackToBack)->Arg(480)->Arg(4800);

void BM_PushToAWaitingConsumer(benchmark::State& state) {
    const std::vector<std::uint8_t> pcm(static_cast<std::size_t>(state.range(0)), 7);
    Pump pump;
    std::uint64_t pushed = 0;
    double threadCpuNs = 0;
    auto pushOnce = [&] {
        pump.waitUntilPopped(pushed);
        // Long enough for the consumer to be back in its wait.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        timespec cpuStart{};
        timespec cpuEnd{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
        const auto start = std::chrono::steady_clock::now();
        pump.queue->push(pcm);
        const auto wall = std::chrono::steady_clock::now() - start;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
        threadCpuNs += static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) * 1e9 +
                       static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec);
        ++pushed;
        return wall;
    };
    for (int i = 0; i < 100; ++i) {
        pushOnce();
    }
    const std::size_t allocationsBefore = AllocationProbe::allocations;
    threadCpuNs = 0;
    for (auto _ : state) {
        state.SetIterationTime(std::chrono::duration<double>(pushOnce()).count());
    }
    state.counters["thread_cpu_ns_per_push"] =
        threadCpuNs / static_cast<double>(state.iterations());
    state.counters["allocs_per_push"] =
        static_cast<double>(AllocationProbe::allocations - allocationsBefore) /
        static_cast<double>(state.iterations());
}
BENCHMARK(BM_PushToAWaitingConsumer)->Arg(480)->Arg(4800)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
