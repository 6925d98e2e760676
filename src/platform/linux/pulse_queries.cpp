#include "platform/linux/pulse_queries.hpp"

#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <charconv>
#include <cstring>
#include <set>

namespace tessarin {

namespace {

// One request in flight. The operation's end (done, failed, or cancelled with its context) frees
// it; a request that ends without an answer reports nothing.
template <class T>
struct Pending {
    explicit Pending(PulseConnection::Done<T> done) : done(std::move(done)) {}

    void finish(std::optional<T> value) {
        if (!finished) {
            finished = true;
            done(std::move(value));
        }
    }

    // Takes ownership of itself through the operation; a request that could not start ends now.
    void track(pa_operation* operation) {
        if (!operation) {
            finish(std::nullopt);
            delete this;
            return;
        }
        pa_operation_set_state_callback(operation, &Pending::operationChanged, this);
        pa_operation_unref(operation);
    }

    static void operationChanged(pa_operation* operation, void* self) {
        if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
            auto* pending = static_cast<Pending*>(self);
            pending->finish(std::nullopt);
            delete pending;
        }
    }

    PulseConnection::Done<T> done;
    T value{};
    bool seen = false;
    bool finished = false;
};

std::string text(const char* value) {
    return value ? value : "";
}

std::string property(const pa_proplist* properties, const char* key) {
    return text(pa_proplist_gets(properties, key));
}

std::int32_t processID(const pa_proplist* properties) {
    const std::string value = property(properties, PA_PROP_APPLICATION_PROCESS_ID);
    std::int32_t pid = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), pid);
    return error == std::errc{} && end == value.data() + value.size() ? pid : -1;
}

// An info callback of a request for one item: the item, then the end of the list (eol > 0);
// eol < 0 when the server refused.
template <class T, class Info, class Read>
void answerOne(const Info* info, int eol, void* self, Read read) {
    auto* pending = static_cast<Pending<T>*>(self);
    if (info) {
        pending->value = read(*info);
        pending->seen = true;
    } else if (eol > 0 && pending->seen) {
        pending->finish(std::move(pending->value));
    } else {
        pending->finish(std::nullopt);
    }
}

PulseQueries::Source readSource(const pa_source_info& info) {
    PulseQueries::Source source;
    source.name = text(info.name);
    source.description = text(info.description);
    source.format = info.sample_spec;
    source.channels = info.channel_map;
    // PulseAudio names the module and the sources it makes for a stream that wants the filter.
    source.isEchoCanceller = text(info.driver).find("echo-cancel") != std::string::npos ||
                             source.name.find("echo-cancel") != std::string::npos;
    return source;
}

}  // namespace

void PulseQueries::defaults(pa_context* context, Done<PulseConnection::Defaults> done) {
    auto* pending = new Pending<PulseConnection::Defaults>(std::move(done));
    pending->track(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* self) {
            auto* pending = static_cast<Pending<PulseConnection::Defaults>*>(self);
            if (!info) {
                pending->finish(std::nullopt);
                return;
            }
            pending->finish(PulseConnection::Defaults{text(info->default_source_name),
                                                      text(info->default_sink_name)});
        },
        pending));
}

void PulseQueries::source(pa_context* context, const std::string& name, Done<Source> done) {
    auto* pending = new Pending<Source>(std::move(done));
    pending->track(pa_context_get_source_info_by_name(
        context, name.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* self) {
            answerOne<Source>(info, eol, self, readSource);
        },
        pending));
}

void PulseQueries::sink(pa_context* context, const std::string& name, Done<Sink> done) {
    auto* pending = new Pending<Sink>(std::move(done));
    pending->track(pa_context_get_sink_info_by_name(
        context, name.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* self) {
            answerOne<Sink>(info, eol, self, [](const pa_sink_info& sink) {
                return Sink{text(sink.description), text(sink.monitor_source_name)};
            });
        },
        pending));
}

void PulseQueries::recordStreams(pa_context* context, Done<std::vector<InputStream>> done) {
    // First the monitor sources, to tell the streams that record what is played.
    using Monitors = std::set<std::uint32_t>;
    auto* monitors = new Pending<Monitors>(
        [context, done = std::move(done)](std::optional<Monitors> found) mutable {
            if (!found) {
                done(std::nullopt);
                return;
            }
            struct Listing {
                Monitors monitors;
                std::vector<InputStream> streams;
            };
            auto* listing = new Pending<Listing>([done](std::optional<Listing> listed) {
                done(listed ? std::optional(std::move(listed->streams)) : std::nullopt);
            });
            listing->value.monitors = std::move(*found);
            listing->track(pa_context_get_source_output_info_list(
                context,
                [](pa_context*, const pa_source_output_info* info, int eol, void* self) {
                    auto* listing = static_cast<Pending<Listing>*>(self);
                    if (!info) {
                        listing->finish(eol > 0 ? std::optional(std::move(listing->value))
                                                : std::nullopt);
                        return;
                    }
                    InputStream stream;
                    stream.pid = processID(info->proplist);
                    stream.applicationID = property(info->proplist, PA_PROP_APPLICATION_ID);
                    // PipeWire's pulse server vouches for sandboxed applications.
                    stream.sandboxID = property(info->proplist, "pipewire.access.portal.app_id");
                    if (stream.sandboxID.empty()) {
                        stream.sandboxID = property(info->proplist, "pipewire.snap.id");
                    }
                    stream.binary = property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
                    stream.recordsOutput = listing->value.monitors.contains(info->source);
                    stream.peakDetect = text(info->resample_method) == "peaks";
                    stream.paused = info->corked != 0;
                    listing->value.streams.push_back(std::move(stream));
                },
                listing));
        });
    monitors->track(pa_context_get_source_info_list(
        context,
        [](pa_context*, const pa_source_info* info, int eol, void* self) {
            auto* pending = static_cast<Pending<Monitors>*>(self);
            if (info) {
                if (info->monitor_of_sink != PA_INVALID_INDEX) {
                    pending->value.insert(info->index);
                }
                return;
            }
            pending->finish(eol > 0 ? std::optional(std::move(pending->value)) : std::nullopt);
        },
        monitors));
}

void PulseQueries::defaultDeviceName(pa_context* context, bool input, Done<std::string> done) {
    defaults(context, [context, input, done = std::move(done)](
                          std::optional<PulseConnection::Defaults> names) mutable {
        const std::string name = names ? (input ? names->source : names->sink) : "";
        if (name.empty()) {
            done(std::nullopt);
        } else if (input) {
            source(context, name, [done](std::optional<Source> found) {
                done(found ? std::optional(found->description) : std::nullopt);
            });
        } else {
            sink(context, name, [done](std::optional<Sink> found) {
                done(found ? std::optional(found->description) : std::nullopt);
            });
        }
    });
}

}  // namespace tessarin
