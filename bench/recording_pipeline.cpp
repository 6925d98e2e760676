// One hour of 48 kHz stereo float audio per speaker through the live recording path: capture
// thread (down-mix, AudioConverter24k) → level meter → AudioQueue → pump → TranscriptionChannel →
// WebSocket over TLS to a loopback realtime service that answers every commit with a short text.
// The audio is fed about 33 times faster than real time; each capture thread also stays at most
// 5 s of audio ahead of what its channel has taken, so nothing is dropped.
//
// Counters: cpu_pct_per_speaker = the helper's CPU time (the executor thread's, shared by both
// speakers, plus each speaker's capture thread) per speaker, as a percentage of one core over the
// hour of audio; the service's thread is not counted. peak_rss_mb: the process's peak resident
// set (service included). latency_*_us: from the moment the service sends a transcript to the
// moment the other side's "transcript.segment" line is serialised (the user's own segments are
// held for the echo check by design, so they are not timed).

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/async/steady_clock.hpp"
#include "core/async/task.hpp"
#include "core/audio/audio_converter24k.hpp"
#include "core/http/url.hpp"
#include "core/net/beast_http_transport.hpp"
#include "core/net/tls_client.hpp"
#include "core/net/web_socket_realtime_socket.hpp"
#include "recording/pipeline/recording_pipeline.hpp"
#include "recording/realtime/transcription_channel.hpp"
#include "support/realtime_test_server.hpp"
#include "support/test_certificates.hpp"

namespace {

using namespace tessarin;
using BenchClock = std::chrono::steady_clock;

constexpr int inputRate = 48000;
constexpr int framesPerBuffer = inputRate / 10;
constexpr int buffersPerHour = 36000;
constexpr int mostBuffersAhead = 50;
// 100 ms of audio every 3 ms: about 33 times real time, an hour in under two minutes. Much faster,
// and the in-process service falls behind on a busy machine until the socket's bounded outbox
// fills (the session then fails and reconnects, as it would on a real network).
constexpr std::chrono::microseconds bufferPeriod{3000};

std::chrono::nanoseconds threadCPU() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Ten seconds of one speaker in stereo float: 3.5 s of a voiced tone, then near silence.
std::vector<float> conversation(double pitch) {
    std::vector<float> samples(static_cast<std::size_t>(inputRate) * 10 * 2);
    for (std::size_t frame = 0; frame < samples.size() / 2; ++frame) {
        const double t = static_cast<double>(frame) / inputRate;
        const double voice = t < 3.5 ? 0.2 * std::sin(2 * M_PI * pitch * t) : 0.0002;
        samples[2 * frame] = static_cast<float>(voice);
        samples[2 * frame + 1] = static_cast<float>(voice * 0.8);
    }
    return samples;
}

// A capture source whose thread plays the conversation for an hour as a platform source would:
// down-mixed to mono and converted to 24 kHz PCM16 on the capture thread.
class HourOfAudio final : public AudioSource {
  public:
    // What one speaker's thread did: bytes delivered, its CPU time, whether it is done.
    struct Tally {
        std::atomic<std::size_t> produced = 0;
        std::chrono::nanoseconds cpu{};
        std::atomic<bool> done = false;
        // Set once the realtime sessions are open: a real source would not deliver an hour
        // before the session is confirmed.
        const std::atomic<bool>* go = nullptr;
    };

    HourOfAudio(std::vector<float> stereo, AudioCallback audio, const std::atomic<std::size_t>& fed,
                Tally& tally)
        : stereo_(std::move(stereo)), audio_(std::move(audio)), fed_(fed), tally_(tally) {}
    ~HourOfAudio() override { stop(); }

    Awaitable<void> start() override {
        thread_ = std::thread([this] { play(); });
        co_return;
    }
    void stop() override {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void play() {
        AudioConverter24k converter(inputRate);
        std::vector<float> mono(framesPerBuffer);
        const std::size_t buffersInPattern = stereo_.size() / 2 / framesPerBuffer;
        const std::size_t bytesPerBuffer = framesPerBuffer / 2 * PCM16::bytesPerSample;
        while (!*tally_.go && !stopping_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto began = threadCPU();
        const auto startedAt = std::chrono::steady_clock::now();
        for (std::size_t n = 0; n < buffersPerHour && !stopping_; ++n) {
            std::this_thread::sleep_until(startedAt + n * bufferPeriod);
            while (n > fed_.load() / bytesPerBuffer + mostBuffersAhead && !stopping_) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            const float* frames = stereo_.data() + (n % buffersInPattern) * framesPerBuffer * 2;
            for (int i = 0; i < framesPerBuffer; ++i) {
                mono[i] = (frames[2 * i] + frames[2 * i + 1]) / 2;
            }
            const std::vector<std::uint8_t> pcm = converter.convert(mono);
            audio_(pcm);
            tally_.produced += pcm.size();
        }
        tally_.cpu = threadCPU() - began;
        tally_.done = true;
    }

    std::vector<float> stereo_;
    AudioCallback audio_;
    const std::atomic<std::size_t>& fed_;
    Tally& tally_;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// Passes everything on to the live channel and counts the bytes it took.
class CountingChannel final : public SpeakerChannel {
  public:
    CountingChannel(std::shared_ptr<SpeakerChannel> inner, std::atomic<std::size_t>& fed)
        : inner_(std::move(inner)), fed_(fed) {}
    Awaitable<void> start() override { co_await inner_->start(); }
    Awaitable<void> feed(std::vector<std::uint8_t> pcm) override {
        const std::size_t size = pcm.size();
        co_await inner_->feed(std::move(pcm));
        fed_ += size;
    }
    Awaitable<void> finish() override { co_await inner_->finish(); }
    Awaitable<void> cancel() override { co_await inner_->cancel(); }

  private:
    std::shared_ptr<SpeakerChannel> inner_;
    std::atomic<std::size_t>& fed_;
};

// The realtime service on a thread of its own: confirms sessions, acknowledges each commit and
// completes it with "turn <n>", noting when it sent each text.
struct Service {
    boost::asio::io_context io;
    test::RealtimeTestServer server{io, test::RealtimeTestServer::Security::tls};
    std::mutex mutex;
    std::map<std::string, BenchClock::time_point> sent;
    std::map<const void*, std::size_t> commits;
    std::size_t turns = 0;
    std::thread thread;

    Service() {
        server.script.acknowledgeCommits = true;
        server.script.onMessage = [this](test::RealtimeTestServer::Connection& connection,
                                         const std::string& text) {
            connection.messages.clear();  // an hour of audio is not kept
            if (text.size() > 200 || text.find("input_audio_buffer.commit") == std::string::npos) {
                return;
            }
            const std::string itemID = test::RealtimeTestServer::itemID(++commits[&connection]);
            const std::lock_guard lock(mutex);
            const std::string transcript = "turn " + std::to_string(++turns);
            sent[transcript] = BenchClock::now();
            connection.send(JSONValue::object(
                                {{"type", "conversation.item.input_audio_transcription.completed"},
                                 {"item_id", itemID},
                                 {"transcript", transcript}})
                                .serialized()
                                .value());
        };
        thread = std::thread([this] {
            auto work = boost::asio::make_work_guard(io);
            io.run();
        });
    }
    ~Service() {
        io.stop();
        thread.join();
    }
};

void BM_OneHourPerSpeaker(benchmark::State& state) {
    for (auto _ : state) {
        Service service;
        boost::asio::io_context io;
        auto clock = std::make_shared<SteadyClock>();
        std::atomic<std::size_t> fed[2]{0, 0};
        HourOfAudio::Tally capture[2];
        std::atomic<bool> go = false;
        capture[0].go = capture[1].go = &go;
        std::vector<BenchClock::duration> latencies;
        std::size_t segments = 0;
        std::size_t failures = 0;  // sessions that failed and were reconnected
        auto lastSegmentAt = BenchClock::now();

        auto deps = RecordingPipeline::Dependencies::live(io.get_executor(), clock);
        deps.flushInterval = std::chrono::hours(10);  // no web server here
        auto tls = TLSClient::makeContext(test::TestCertificates::authority());
        const std::string url = service.server.url();
        deps.makeRealtime = [&](Speaker speaker, std::optional<std::string> language,
                                RecordingPipeline::Dependencies::TokenFetch,
                                ChannelCallbacks callbacks) {
            TranscriptionChannel::Dependencies channel;
            channel.executor = io.get_executor();
            channel.clock = clock;
            channel.makeSocket = WebSocketRealtimeSocket::factory(io.get_executor(), clock, tls);
            auto fetch = [url]() -> Awaitable<TranscriptionToken> {
                co_return TranscriptionToken{
                    "key", std::chrono::system_clock::now() + std::chrono::hours(24), std::nullopt,
                    url};
            };
            auto live =
                TranscriptionChannel::create(std::move(channel), speaker, std::move(language),
                                             fetch, std::move(callbacks), std::chrono::seconds(3));
            return std::make_shared<CountingChannel>(live, fed[speaker == Speaker::me ? 0 : 1]);
        };
        deps.makeMic = [&](bool, AudioSource::AudioCallback audio,
                           AudioSource::InterruptionCallback) {
            return std::make_unique<HourOfAudio>(conversation(140), std::move(audio), fed[0],
                                                 capture[0]);
        };
        deps.makeSystem = [&](AudioSource::AudioCallback audio, AudioSource::InterruptionCallback) {
            return std::make_unique<HourOfAudio>(conversation(210), std::move(audio), fed[1],
                                                 capture[1]);
        };
        const APIClient api(
            std::make_shared<AccessTokenAuthProvider>(*URL::parse("http://127.0.0.1:9"), "t"),
            std::make_shared<BeastHTTPTransport>(io.get_executor(), clock));
        auto pipeline = RecordingPipeline::create(
            io.get_executor(), "bench", api, "en", RecordingOptions{}, deps,
            [&](const RecordingEvent& event) {
                if (const auto* p =
                        std::get_if<RecordingEvent::TranscriptionProblem>(&event.value)) {
                    failures += p->message ? 1 : 0;
                }
                const auto* segment = std::get_if<RecordingEvent::TranscriptSegment>(&event.value);
                if (!segment) {
                    return;
                }
                ++segments;
                lastSegmentAt = BenchClock::now();
                const Segment& s = segment->segment;
                const std::string line = *JSONValue::object({{"event", "transcript.segment"},
                                                             {"seq", s.seq},
                                                             {"speaker", "them"},
                                                             {"text", s.text},
                                                             {"startedMs", s.startedMs},
                                                             {"endedMs", s.endedMs}})
                                              .serialized();
                const auto now = BenchClock::now();
                benchmark::DoNotOptimize(line);
                if (s.speaker == Speaker::them) {
                    const std::lock_guard lock(service.mutex);
                    latencies.push_back(now - service.sent.at(s.text));
                }
            });

        const auto began = threadCPU();
        Task<>::spawn(io.get_executor(), "bench recording",
                      [pipeline] { return pipeline->start(); });
        // Until every byte captured has been fed and every turn's transcript has come back (or
        // was dropped as the echo of the other side).
        const auto finished = [&] {
            for (int i = 0; i < 2; ++i) {
                if (!capture[i].done || fed[i] < capture[i].produced) {
                    return false;
                }
            }
            const std::lock_guard lock(service.mutex);
            const auto echoes = static_cast<std::size_t>(pipeline->echoCounts().dropped);
            // A turn committed on a session that failed is not transcribed by it: do not wait.
            const bool quiet = BenchClock::now() - lastSegmentAt > std::chrono::seconds(3);
            return service.turns > 0 && (segments + echoes >= service.turns || quiet);
        };
        while (service.server.connectionCount() < 2) {
            io.run_for(std::chrono::milliseconds(10));
        }
        io.run_for(std::chrono::milliseconds(300));
        go = true;
        while (!finished()) {
            io.run_for(std::chrono::milliseconds(10));
        }
        const auto executorCPU = threadCPU() - began;
        Task<>::spawn(io.get_executor(), "bench cancel", [pipeline] { return pipeline->cancel(); });
        io.run_for(std::chrono::milliseconds(200));

        std::sort(latencies.begin(), latencies.end());
        const auto micros = [&](double share) {
            const auto at = static_cast<std::size_t>(share * (latencies.size() - 1));
            return std::chrono::duration<double, std::micro>(latencies[at]).count();
        };
        const double hour = 3600e9;
        state.counters["cpu_pct_per_speaker"] =
            100.0 * (executorCPU.count() / 2.0 + (capture[0].cpu + capture[1].cpu).count() / 2.0) /
            hour;
        state.counters["executor_cpu_s"] = executorCPU.count() / 1e9;
        state.counters["capture_cpu_s"] = (capture[0].cpu + capture[1].cpu).count() / 1e9;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        state.counters["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
        state.counters["segments"] = static_cast<double>(segments);
        state.counters["turns"] = static_cast<double>(service.turns);
        state.counters["session_failures"] = static_cast<double>(failures);
        state.counters["latency_median_us"] = micros(0.5);
        state.counters["latency_p99_us"] = micros(0.99);
    }
}
BENCHMARK(BM_OneHourPerSpeaker)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
