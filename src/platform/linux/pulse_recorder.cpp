#include "platform/linux/pulse_recorder.hpp"

#include <pulse/error.h>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "platform/linux/pulse_queries.hpp"
#include "recording/capture/capture_error.hpp"

namespace tessarin {

namespace {

constexpr const char* noMicrophone = "No microphone is available.";
constexpr const char* noOutputDevice = "There's no audio output device.";
constexpr const char* unreadableOutputDevice = "Couldn't read the output device.";
constexpr const char* unreadableFormat = "System audio came in a format Tessarin can't read.";

CaptureError couldNot(const std::string& step, int error) {
    return CaptureError("Couldn't " + step + " (error " + std::to_string(error) + ").");
}

bool usable(const pa_sample_spec& format) {
    return format.rate > 0 && format.channels > 0;
}

}  // namespace

PulseRecorder::PulseRecorder(Token, std::shared_ptr<PulseConnection> connection, Config config)
    : connection_(std::move(connection)), config_(std::move(config)) {}

PulseRecorder::~PulseRecorder() {
    stop();
}

Awaitable<void> PulseRecorder::start() {
    if (started_) {
        co_return;
    }
    if (!executor_) {
        executor_ = co_await boost::asio::this_coro::executor;
        tasks_.emplace(*executor_);
    }
    if (!listening_) {
        const PulseLock lock(connection_->loop());
        connection_->addListener(this);
        listening_ = true;
    }
    co_await open();
    started_ = true;
    broken_ = false;
}

void PulseRecorder::stop() {
    ++stops_;
    started_ = false;
    broken_ = false;
    if (tasks_) {
        tasks_->cancelAll();
    }
    const PulseLock lock(connection_->loop());
    if (std::exchange(listening_, false)) {
        connection_->removeListener(this);
    }
    closeStream();
}

Awaitable<PulseRecorder::Target> PulseRecorder::resolve() {
    const PulseConnection::Request<PulseConnection::Defaults> askDefaults = &PulseQueries::defaults;
    const auto names = co_await connection_->ask<PulseConnection::Defaults>(askDefaults);
    if (!names.value) {
        throw couldNot("reach the sound server", names.error);
    }
    if (config_.kind == Kind::microphone) {
        Target target = co_await microphoneTarget(names.value->source);
        co_return target;
    }
    Target target = co_await systemAudioTarget(names.value->sink);
    co_return target;
}

Awaitable<PulseRecorder::Target> PulseRecorder::microphoneTarget(std::string source) {
    if (source.empty()) {
        throw CaptureError(noMicrophone);
    }
    const auto found = co_await sourceNamed(source);
    if (!found.value || !usable(found.value->format)) {
        throw CaptureError(noMicrophone);
    }
    Target target = targetOn(*found.value, "Microphone", config_.voiceProcessing);
    target.description = found.value->description;
    co_return target;
}

Awaitable<PulseRecorder::Target> PulseRecorder::systemAudioTarget(std::string sink) {
    if (sink.empty()) {
        throw CaptureError(noOutputDevice);
    }
    const PulseConnection::Request<PulseQueries::Sink> askSink =
        [sink](pa_context* context, PulseConnection::Done<PulseQueries::Sink> done) {
            PulseQueries::sink(context, sink, std::move(done));
        };
    const auto output = co_await connection_->ask<PulseQueries::Sink>(askSink);
    if (!output.value || output.value->monitorSource.empty()) {
        throw CaptureError(unreadableOutputDevice);
    }
    const auto monitor = co_await sourceNamed(output.value->monitorSource);
    if (!monitor.value || !usable(monitor.value->format)) {
        throw CaptureError(unreadableOutputDevice);
    }
    Target target = targetOn(*monitor.value, "System audio", false);
    target.description = output.value->description;
    co_return target;
}

Awaitable<PulseConnection::Result<PulseQueries::Source>> PulseRecorder::sourceNamed(
    std::string name) {
    const PulseConnection::Request<PulseQueries::Source> askSource =
        [name](pa_context* context, PulseConnection::Done<PulseQueries::Source> done) {
            PulseQueries::source(context, name, std::move(done));
        };
    auto source = co_await connection_->ask<PulseQueries::Source>(askSource);
    co_return source;
}

PulseRecorder::Target PulseRecorder::targetOn(const PulseQueries::Source& source,
                                              std::string streamName, bool echoCancellation) {
    Target target;
    target.settings.name = std::move(streamName);
    target.settings.device = source.name;
    target.settings.format = source.format;
    target.settings.channels = source.channels;
    target.settings.echoCancellation = echoCancellation;
    // The voice-processed signal is the first channel; otherwise every channel counts.
    target.settings.channelsUsed = echoCancellation ? 1 : source.format.channels;
    return target;
}

Awaitable<void> PulseRecorder::open() {
    const std::uint64_t stops = stops_;
    const bool microphone = config_.kind == Kind::microphone;
    const std::string step = microphone ? "start the microphone" : "start reading system audio";
    const Target target = co_await resolve();
    throwIfStopped(stops);

    auto opened = std::make_shared<OneShot<std::optional<int>>>(*executor_);
    {
        const PulseLock lock(connection_->loop());
        closeStream();
        pa_context* context = connection_->readyContext();
        if (!context) {
            throw couldNot("reach the sound server", PA_ERR_CONNECTIONTERMINATED);
        }
        opening_ = opened;
        try {
            stream_ = std::make_unique<PulseRecordStream>(context, target.settings, config_.onAudio,
                                                          streamEvents(++streamID_));
        } catch (const PulseRecordStream::Failure& failure) {
            throw couldNot(step, failure.code);
        }
    }
    const std::optional<int> error = co_await opened->wait();
    throwIfStopped(stops);
    pa_sample_spec format{};
    {
        const PulseLock lock(connection_->loop());
        // A stream that failed right after it became ready is gone already.
        if (error || !stream_) {
            closeStream();
            throw couldNot(step, error.value_or(PA_ERR_KILLED));
        }
        format = stream_->format();
        if (format.format != PA_SAMPLE_FLOAT32LE || !usable(format)) {
            closeStream();
            throw CaptureError(microphone ? noMicrophone : unreadableFormat);
        }
    }
    {
        const std::lock_guard guard(infoMutex_);
        sampleRate_ = format.rate;
        deviceName_ = target.description;
        voiceProcessingActive_ = false;
    }
    if (target.settings.echoCancellation) {
        co_await refreshVoiceProcessing();
    }
}

Awaitable<void> PulseRecorder::refreshVoiceProcessing() {
    std::string device;
    {
        const PulseLock lock(connection_->loop());
        if (stream_) {
            device = stream_->deviceName();
        }
    }
    const auto source = co_await sourceNamed(device);
    // Voice processing is on when the server's echo canceller's source feeds the stream.
    const std::lock_guard guard(infoMutex_);
    voiceProcessingActive_ = source.value && source.value->isEchoCanceller;
}

void PulseRecorder::throwIfStopped(std::uint64_t stops) const {
    if (stops != stops_) {
        throwCancelled();
    }
}

void PulseRecorder::closeStream() {
    stream_.reset();
}

PulseRecordStream::Events PulseRecorder::streamEvents(std::uint64_t id) {
    auto weak = weak_from_this();
    const Executor executor = *executor_;
    PulseRecordStream::Events events;
    events.stateChanged = [weak, executor, id](std::optional<int> error) {
        boost::asio::post(executor, [weak, id, error] {
            if (auto self = weak.lock()) {
                self->streamChanged(id, error);
            }
        });
    };
    if (config_.voiceProcessing) {
        events.moved = [weak, executor] {
            boost::asio::post(executor, [weak] {
                if (auto self = weak.lock(); self && self->started_) {
                    self->tasks_->spawn(
                        "checking the microphone's echo canceller",
                        [self]() -> Awaitable<void> { co_await self->refreshVoiceProcessing(); });
                }
            });
        };
    }
    return events;
}

void PulseRecorder::streamChanged(std::uint64_t id, std::optional<int> error) {
    if (id != streamID_) {
        return;  // a stream closed since
    }
    if (opening_ && !opening_->resumed()) {
        opening_->resume(error);
        return;
    }
    if (!error) {
        return;
    }
    {
        const PulseLock lock(connection_->loop());
        closeStream();
    }
    const bool report = started_ && !broken_;
    broken_ = true;
    if (report && config_.onInterrupted) {
        config_.onInterrupted(interruption(std::string(pa_strerror(*error)) + ".", false));
    }
}

void PulseRecorder::rebuildSoon(bool afterChange) {
    if (!started_) {
        return;
    }
    // One rebuild at a time: a newer reason replaces the one in progress.
    tasks_->cancelAll();
    tasks_->spawn(afterChange ? "following the default device" : "reopening a lost capture",
                  [self = shared_from_this(), afterChange]() -> Awaitable<void> {
                      co_await self->reopen(afterChange);
                  });
}

Awaitable<void> PulseRecorder::reopen(bool afterChange) {
    std::exception_ptr failure;
    try {
        co_await open();
    } catch (...) {
        failure = std::current_exception();
    }
    co_await throwIfCancelled();
    if (!started_) {
        co_return;
    }
    if (!failure) {
        broken_ = false;
        if (config_.onInterrupted) {
            config_.onInterrupted(std::nullopt);
        }
        co_return;
    }
    // A lost capture that still can't come back has said so already.
    const bool report = afterChange || !broken_;
    broken_ = true;
    if (report && config_.onInterrupted) {
        config_.onInterrupted(interruption(describe(failure), afterChange));
    }
}

std::string PulseRecorder::interruption(const std::string& description, bool afterChange) const {
    if (config_.kind == Kind::microphone) {
        return "The microphone stopped: " + description;
    }
    return (afterChange ? "Lost the other side after the output device changed: "
                        : "Lost the other side: ") +
           description;
}

std::optional<double> PulseRecorder::sampleRate() const {
    const std::lock_guard guard(infoMutex_);
    return sampleRate_;
}

std::optional<std::string> PulseRecorder::deviceName() const {
    const std::lock_guard guard(infoMutex_);
    return deviceName_;
}

bool PulseRecorder::voiceProcessingActive() const {
    const std::lock_guard guard(infoMutex_);
    return voiceProcessingActive_;
}

template <class Work>
void PulseRecorder::onExecutor(Work work) {
    boost::asio::post(*executor_, [weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

void PulseRecorder::connectionReady() {
    onExecutor([](PulseRecorder& self) {
        if (self.broken_) {
            self.rebuildSoon(false);
        }
    });
}

void PulseRecorder::defaultsChanged(const PulseConnection::Defaults& before,
                                    const PulseConnection::Defaults& now) {
    const bool followed =
        config_.kind == Kind::microphone ? before.source != now.source : before.sink != now.sink;
    if (followed) {
        onExecutor([](PulseRecorder& self) { self.rebuildSoon(true); });
    }
}

}  // namespace tessarin
