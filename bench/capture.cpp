// One capture stream as a recording runs it: system audio from the sound server named by
// PULSE_SERVER (its default sink should be 48 kHz stereo, as the test server's "speakers" is)
// while a 48 kHz stereo tone plays into it, mixed down, resampled to 24 kHz PCM16, metered and
// pushed into an audio queue that a consumer drains on an io_context thread.
//
// BM_SystemAudioStream: after two seconds of warm-up, ten seconds of streaming. Reports the CPU
// time of the sound server's loop thread (which reads the stream and runs the whole capture path)
// as a percentage of one core (cpu_percent_of_core), and that thread's heap allocations per second
// (allocs_per_second; the target is none).

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "../tests/support/allocation_probe.hpp"
#include "core/async/task.hpp"
#include "core/audio/audio_queue.hpp"
#include "platform/linux/pulse_connection.hpp"
#include "platform/linux/system_audio_capture.hpp"
#include "recording/pipeline/level_meter.hpp"

namespace {

using namespace tessarin;
using namespace std::chrono_literals;
namespace AllocationProbe = tessarin::test::AllocationProbe;

// pacat playing a tone into the default sink until it is destroyed.
class Tone {
  public:
    Tone() {
        char pattern[] = "/tmp/tessarin-bench-tone-XXXXXX";
        const int fd = mkstemp(pattern);
        file_ = pattern;
        std::vector<float> samples(48000 * 2 * 20);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i / 2) / 48000));
        }
        const auto bytes = samples.size() * sizeof(float);
        ok_ = fd >= 0 && ::write(fd, samples.data(), bytes) == static_cast<ssize_t>(bytes);
        close(fd);
        pid_ = fork();
        if (pid_ == 0) {
            execlp("pacat", "pacat", "--playback", "--raw", "--format=float32le", "--rate=48000",
                   "--channels=2", file_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Tone() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        unlink(file_.c_str());
    }
    bool ok() const { return ok_ && pid_ > 0; }

  private:
    std::string file_;
    pid_t pid_ = -1;
    bool ok_ = false;
};

// What the loop thread last said about itself, from inside its audio callback.
struct LoopThread {
    std::atomic<bool> known = false;
    clockid_t cpuClock{};
    std::atomic<std::size_t> allocations = 0;
    std::atomic<std::uint64_t> buffers = 0;
    std::atomic<std::size_t> inQueue =
        0;  // of `allocations`, those made by the meter and the queue

    void heard() {
        if (!known.load(std::memory_order_acquire)) {
            pthread_getcpuclockid(pthread_self(), &cpuClock);
            known.store(true, std::memory_order_release);
        }
        allocations.store(AllocationProbe::allocations, std::memory_order_relaxed);
        buffers.fetch_add(1, std::memory_order_relaxed);
    }
    double cpuSeconds() const {
        timespec now{};
        clock_gettime(cpuClock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    }
};

void BM_SystemAudioStream(benchmark::State& state) {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server) {
        state.SkipWithError("set PULSE_SERVER to a sound server (see scripts/test)");
        return;
    }
    const Tone tone;
    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    const auto queue = AudioQueue::create(io.get_executor());
    LevelMeter meter(std::chrono::steady_clock::now());
    LoopThread loop;
    SystemAudioCapture capture(
        [&](std::span<const std::uint8_t> pcm) {
            const std::size_t before = AllocationProbe::allocations;
            meter.measure(pcm);
            queue->push(pcm);
            loop.inQueue.fetch_add(AllocationProbe::allocations - before,
                                   std::memory_order_relaxed);
            loop.heard();
        },
        {}, std::make_shared<PulseConnection>(server));
    std::atomic<bool> started = false;
    Task<>::spawn(io.get_executor(), "bench capture", [&]() -> Awaitable<void> {
        co_await capture.start();
        started = true;
        std::vector<std::uint8_t> buffer;
        for (;;) {
            const bool more = co_await queue->pop(buffer);
            if (!more) {
                co_return;
            }
        }
    });
    std::thread consumer([&] { io.run(); });

    for (auto _ : state) {
        std::this_thread::sleep_for(2s);
        if (!tone.ok() || !started || !loop.known) {
            state.SkipWithError("no audio from the sound server");
            break;
        }
        const double cpuBefore = loop.cpuSeconds();
        const std::size_t allocationsBefore = loop.allocations;
        const std::uint64_t buffersBefore = loop.buffers;
        const std::size_t inQueueBefore = loop.inQueue;
        const auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(10s);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - began;
        state.SetIterationTime(wall.count());
        state.counters["cpu_percent_of_core"] =
            100 * (loop.cpuSeconds() - cpuBefore) / wall.count();
        state.counters["allocs_per_second"] =
            static_cast<double>(loop.allocations - allocationsBefore) / wall.count();
        state.counters["queue_allocs_per_second"] =
            static_cast<double>(loop.inQueue - inQueueBefore) / wall.count();
        state.counters["buffers_per_second"] =
            static_cast<double>(loop.buffers - buffersBefore) / wall.count();
    }
    // The capture belongs to the executor it started on.
    boost::asio::post(io, [&] {
        capture.stop();
        queue->close();
    });
    work.reset();
    consumer.join();
}
BENCHMARK(BM_SystemAudioStream)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
