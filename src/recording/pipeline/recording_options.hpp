#pragma once

namespace tessarin {

// Per-recording choices.
struct RecordingOptions {
    // Hold the user's segments back and drop what only repeats the other side's audio.
    bool dedupeEcho = true;

    bool operator==(const RecordingOptions&) const = default;
};

}  // namespace tessarin
