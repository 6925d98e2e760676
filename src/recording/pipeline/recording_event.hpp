#pragma once

#include <optional>
#include <string>
#include <variant>

#include "core/api/segment.hpp"
#include "core/api/speaker.hpp"
#include "recording/pipeline/recording_mode.hpp"
#include "recording/pipeline/source_health.hpp"

namespace tessarin {

// Everything a recording reports to its owner, always on the main executor.
struct RecordingEvent {
    // The recording switched to uploaded chunks at its start.
    struct Mode {
        RecordingMode mode;
        bool operator==(const Mode&) const = default;
    };
    // Interim text of one item: the whole text so far.
    struct Delta {
        Speaker speaker;
        std::string text;
        std::string itemID;
        bool operator==(const Delta&) const = default;
    };
    // A segment entered the batcher, or the web server stored one from uploaded audio.
    struct TranscriptSegment {
        Segment segment;
        bool operator==(const TranscriptSegment&) const = default;
    };
    // A speaker's transcription has a problem; no message: it is over.
    struct TranscriptionProblem {
        Speaker speaker;
        std::optional<std::string> message;
        bool operator==(const TranscriptionProblem&) const = default;
    };
    // A capture source failed or was interrupted; no message: it recovered.
    struct CaptureProblem {
        Speaker speaker;
        std::optional<std::string> message;
        bool operator==(const CaptureProblem&) const = default;
    };
    // The sources' health changed.
    struct Health {
        SourceHealth mic = SourceHealth::ok;
        SourceHealth system = SourceHealth::ok;
        bool operator==(const Health&) const = default;
    };
    // Both sides' levels (0-1) of the last interval.
    struct Levels {
        double mic = 0;
        double system = 0;
        bool operator==(const Levels&) const = default;
    };
    // Appending segments to the web server failed.
    struct SaveProblem {
        std::string message;
        bool operator==(const SaveProblem&) const = default;
    };
    // A fallback channel's upload queue is backing up.
    struct FallbackBacklog {
        Speaker speaker;
        std::string message;
        bool operator==(const FallbackBacklog&) const = default;
    };
    // Replay of outage audio began (true) or every replay has ended (false).
    struct CatchingUp {
        bool active;
        bool operator==(const CatchingUp&) const = default;
    };
    // A replay could not transcribe a stretch of audio.
    struct CatchUpProblem {
        Speaker speaker;
        std::string message;
        bool operator==(const CatchUpProblem&) const = default;
    };

    using Value =
        std::variant<Mode, Delta, TranscriptSegment, TranscriptionProblem, CaptureProblem, Health,
                     Levels, SaveProblem, FallbackBacklog, CatchingUp, CatchUpProblem>;
    Value value;

    bool operator==(const RecordingEvent&) const = default;
};

}  // namespace tessarin
