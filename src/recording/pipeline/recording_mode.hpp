#pragma once

#include <string_view>

namespace tessarin {

// How a recording is transcribed: live over the realtime service, or by uploading chunks.
enum class RecordingMode { realtime, fallback };

inline constexpr std::string_view recordingModeName(RecordingMode mode) {
    return mode == RecordingMode::realtime ? "realtime" : "fallback";
}

}  // namespace tessarin
