#pragma once

#include <string>
#include <vector>

#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/sample.h>

#include "platform/linux/pulse_connection.hpp"
#include "recording/calls/input_stream.hpp"

namespace tessarin {

// The questions the helper asks the sound server. Each runs on a ready context under the lock and
// ends by calling `done` once on the loop's thread (with nothing when the server refused or the
// connection went away).
struct PulseQueries {
    template <class T>
    using Done = PulseConnection::Done<T>;

    struct Source {
        std::string name;
        std::string description;
        pa_sample_spec format{};
        pa_channel_map channels{};
        bool isEchoCanceller = false;  // the source of the server's echo-cancel filter
    };
    struct Sink {
        std::string description;
        std::string monitorSource;
    };

    static void defaults(pa_context* context, Done<PulseConnection::Defaults> done);
    static void source(pa_context* context, const std::string& name, Done<Source> done);
    static void sink(pa_context* context, const std::string& name, Done<Sink> done);
    // Every record stream, with whether its source is a monitor.
    static void recordStreams(pa_context* context, Done<std::vector<InputStream>> done);
    // The description of the default source (`input`) or the default sink's.
    static void defaultDeviceName(pa_context* context, bool input, Done<std::string> done);
};

}  // namespace tessarin
