#include "devserver/meeting_report.hpp"

#include <cstdio>

#include "core/api/transcript_coding.hpp"

namespace tessarin::MeetingReport {

namespace {

std::string position(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld.%ld", ms / 60000, ms / 1000 % 60, ms / 100 % 10);
    return text;
}

}  // namespace

std::string text(const MeetingStore::Meeting& meeting) {
    std::string report =
        "meeting " + meeting.id + ": " +
        (meeting.finishedAt ? "finished at " + *meeting.finishedAt : std::string("not finished")) +
        " (started " + meeting.createdAt + "), " + std::to_string(meeting.segments.size()) +
        " segments\n";
    for (const Segment& segment : meeting.segments) {
        report += "  #" + std::to_string(segment.seq) + "  " + position(segment.startedMs) + "-" +
                  position(segment.endedMs) + "  " + std::string(speakerName(segment.speaker)) +
                  "  " + segment.text + "\n";
    }
    return report;
}

JSONValue json(const MeetingStore::Meeting& meeting) {
    JSONValue::Array segments;
    for (const Segment& segment : meeting.segments) {
        segments.push_back(TranscriptCoding::encode(segment));
    }
    return JSONValue::object(
        {{"meeting", meeting.id},
         {"createdAt", meeting.createdAt},
         {"finished", meeting.finishedAt.has_value()},
         {"finishedAt", meeting.finishedAt ? JSONValue(*meeting.finishedAt) : nullptr},
         {"segments", JSONValue(std::move(segments))}});
}

}  // namespace tessarin::MeetingReport
