#pragma once

#include <cstdint>
#include <string>

namespace tessarin {

// A record stream open on the sound server, as call detection sees it.
struct InputStream {
    std::int32_t pid = -1;       // -1 when the stream does not say
    std::string applicationID;   // the application's own identifier, often absent
    std::string sandboxID;       // the Flatpak or Snap identifier the server vouches for
    std::string binary;          // the executable's file name
    bool recordsOutput = false;  // reads what a sink plays (a monitor), not a microphone
    bool peakDetect = false;     // a volume meter's level stream
    bool paused = false;         // corked: open but not recording

    bool operator==(const InputStream&) const = default;
};

}  // namespace tessarin
