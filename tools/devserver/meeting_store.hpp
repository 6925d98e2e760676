#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/api/segment.hpp"

struct sqlite3;

namespace tessarin {

// Meetings and their transcript segments in an SQLite file, so what a recording saved can be read
// back after the helper and the server have gone. A meeting exists from its first use; segments
// are unique per meeting by `seq`, so an append that is retried stores nothing twice.
//
// Every failure of the database throws std::runtime_error. Not thread-safe: one executor uses it.
class MeetingStore {
  public:
    struct Meeting {
        std::string id;
        std::string createdAt;
        std::optional<std::string> finishedAt;
        std::vector<Segment> segments;  // in seq order
    };

    struct Appended {
        int stored = 0;
        int duplicates = 0;
    };

    // Opens (creating when needed) the database at `path`; ":memory:" keeps it in memory.
    explicit MeetingStore(const std::string& path);
    ~MeetingStore();
    MeetingStore(const MeetingStore&) = delete;
    MeetingStore& operator=(const MeetingStore&) = delete;

    // `now` is the wall-clock time as ISO 8601 text, recorded for a meeting made here.
    void ensureMeeting(const std::string& id, const std::string& now);
    // All of `segments` or none: a batch is stored in one transaction. Makes the meeting.
    Appended append(const std::string& id, std::span<const Segment> segments,
                    const std::string& now);
    // False for a meeting never used. Finishing twice keeps the first time.
    bool finish(const std::string& id, const std::string& now);
    std::optional<Meeting> meeting(const std::string& id) const;

  private:
    class Statement;
    void execute(const char* sql) const;

    sqlite3* db_ = nullptr;
};

}  // namespace tessarin
