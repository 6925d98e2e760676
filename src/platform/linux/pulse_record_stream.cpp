#include "platform/linux/pulse_record_stream.hpp"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <algorithm>
#include <span>
#include <string>

#include "core/audio/mono_mixdown.hpp"

namespace tessarin {

namespace {

// A fragment of about 100 ms: the block each read callback gets.
constexpr pa_usec_t fragmentMicroseconds = 100'000;

}  // namespace

PulseRecordStream::Failure::Failure(int code) : std::runtime_error(pa_strerror(code)), code(code) {}

PulseRecordStream::PulseRecordStream(pa_context* context, const Settings& settings,
                                     const AudioSource::AudioCallback& onAudio, Events events)
    : onAudio_(onAudio),
      events_(std::move(events)),
      channels_(settings.format.channels),
      channelsUsed_(settings.channelsUsed),
      converter_(settings.format.rate) {
    pa_sample_spec format = settings.format;
    format.format = PA_SAMPLE_FLOAT32LE;
    pa_proplist* properties = pa_proplist_new();
    if (settings.echoCancellation) {
        pa_proplist_sets(properties, PA_PROP_FILTER_WANT, "echo-cancel");
    }
    stream_ = pa_stream_new_with_proplist(context, settings.name.c_str(), &format,
                                          &settings.channels, properties);
    pa_proplist_free(properties);
    if (!stream_) {
        throw Failure(pa_context_errno(context));
    }
    pa_stream_set_state_callback(stream_, &PulseRecordStream::stateCallback, this);
    pa_stream_set_read_callback(stream_, &PulseRecordStream::readCallback, this);
    pa_stream_set_moved_callback(stream_, &PulseRecordStream::movedCallback, this);

    const std::size_t frameBytes = pa_frame_size(&format);
    blockFrames_ =
        std::max<std::size_t>(pa_usec_to_bytes(fragmentMicroseconds, &format) / frameBytes, 1);
    mixed_.reserve(4 * blockFrames_);
    block_.reserve(blockFrames_);
    pa_buffer_attr buffering;
    buffering.maxlength = static_cast<std::uint32_t>(-1);
    buffering.tlength = buffering.prebuf = buffering.minreq = static_cast<std::uint32_t>(-1);
    buffering.fragsize =
        static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, &format));
    // The device is chosen here and followed by the helper itself; ADJUST_LATENCY makes the
    // fragment the device's latency, not a buffer on top of it.
    if (pa_stream_connect_record(stream_, settings.device.c_str(), &buffering,
                                 PA_STREAM_ADJUST_LATENCY) < 0) {
        const int error = pa_context_errno(context);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_moved_callback(stream_, nullptr, nullptr);
        pa_stream_unref(stream_);
        throw Failure(error);
    }
}

PulseRecordStream::~PulseRecordStream() {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
}

pa_sample_spec PulseRecordStream::format() const {
    const pa_sample_spec* format = pa_stream_get_sample_spec(stream_);
    return format ? *format : pa_sample_spec{};
}

std::string PulseRecordStream::deviceName() const {
    const char* name = pa_stream_get_device_name(stream_);
    return name ? name : "";
}

void PulseRecordStream::stateCallback(pa_stream* stream, void* self) {
    auto* recorder = static_cast<PulseRecordStream*>(self);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            recorder->events_.stateChanged(std::nullopt);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (!std::exchange(recorder->ended_, true)) {
                const int error = pa_context_errno(pa_stream_get_context(stream));
                recorder->events_.stateChanged(error == 0 ? PA_ERR_KILLED : error);
            }
            break;
        default:
            break;
    }
}

void PulseRecordStream::movedCallback(pa_stream*, void* self) {
    auto* recorder = static_cast<PulseRecordStream*>(self);
    if (recorder->events_.moved) {
        recorder->events_.moved();
    }
}

void PulseRecordStream::readCallback(pa_stream*, std::size_t, void* self) {
    static_cast<PulseRecordStream*>(self)->readAvailable();
}

void PulseRecordStream::readAvailable() {
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        // A hole (no data) is what the server lost to an overrun: nothing to deliver.
        if (data) {
            deliver(static_cast<const float*>(data), bytes / sizeof(float));
        }
        pa_stream_drop(stream_);
    }
}

// The server hands over what it has, in pieces of any size; the helper passes on blocks of 100 ms
// exactly, so that every buffer downstream (and each level measured on one) spans the same time,
// and the converter's buffers, sized by the first blocks, never grow again.
void PulseRecordStream::deliver(const float* samples, std::size_t count) {
    MonoMixdown::interleaved(std::span(samples, count), channels_, channelsUsed_, mixed_);
    std::span<const float> rest = mixed_;
    while (!rest.empty()) {
        const std::size_t taken = std::min(rest.size(), blockFrames_ - block_.size());
        block_.insert(block_.end(), rest.begin(), rest.begin() + static_cast<long>(taken));
        rest = rest.subspan(taken);
        if (block_.size() < blockFrames_) {
            return;
        }
        converter_.convert(block_, pcm_);
        block_.clear();
        if (!pcm_.empty() && onAudio_) {
            onAudio_(pcm_);
        }
    }
}

}  // namespace tessarin
