#include "devserver/meeting_store.hpp"

#include <stdexcept>

#include <sqlite3.h>

namespace tessarin {

// One prepared statement, finalised when it goes out of scope.
class MeetingStore::Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        check(sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr));
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t number) {
        check(sqlite3_bind_int64(statement_, index, number));
        return *this;
    }
    // True while a row is there to read.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result != SQLITE_ROW && result != SQLITE_DONE) {
            check(result);
        }
        return result == SQLITE_ROW;
    }
    void run() {
        step();
        sqlite3_reset(statement_);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::optional<std::string> text(int column) const {
        const auto* bytes = sqlite3_column_text(statement_, column);
        if (!bytes) {
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(bytes),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
    }

  private:
    void check(int result) const {
        if (result != SQLITE_OK) {
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db_));
        }
    }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

MeetingStore::MeetingStore(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("Can't open the database " + path + ": " + why);
    }
    // Several processes may share one file (a server writing, --show reading).
    sqlite3_busy_timeout(db_, 5000);
    execute(
        "CREATE TABLE IF NOT EXISTS meetings ("
        "  id TEXT PRIMARY KEY, created_at TEXT NOT NULL, finished_at TEXT);"
        "CREATE TABLE IF NOT EXISTS segments ("
        "  meeting_id TEXT NOT NULL REFERENCES meetings(id), seq INTEGER NOT NULL,"
        "  started_ms INTEGER NOT NULL, ended_ms INTEGER NOT NULL, speaker TEXT NOT NULL,"
        "  text TEXT NOT NULL, PRIMARY KEY (meeting_id, seq));");
}

MeetingStore::~MeetingStore() {
    sqlite3_close(db_);
}

void MeetingStore::execute(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("SQLite: " + why);
    }
}

void MeetingStore::ensureMeeting(const std::string& id, const std::string& now) {
    Statement(db_, "INSERT OR IGNORE INTO meetings (id, created_at) VALUES (?1, ?2)")
        .bind(1, id)
        .bind(2, now)
        .run();
}

MeetingStore::Appended MeetingStore::append(const std::string& id,
                                            std::span<const Segment> segments,
                                            const std::string& now) {
    execute("BEGIN IMMEDIATE");
    try {
        ensureMeeting(id, now);
        Statement insert(db_,
                         "INSERT OR IGNORE INTO segments (meeting_id, seq, started_ms, ended_ms, "
                         "speaker, text) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        Appended appended;
        for (const Segment& segment : segments) {
            insert.bind(1, id)
                .bind(2, segment.seq)
                .bind(3, segment.startedMs)
                .bind(4, segment.endedMs)
                .bind(5, std::string(speakerName(segment.speaker)))
                .bind(6, segment.text)
                .run();
            (sqlite3_changes(db_) == 1 ? appended.stored : appended.duplicates) += 1;
        }
        execute("COMMIT");
        return appended;
    } catch (...) {
        execute("ROLLBACK");
        throw;
    }
}

bool MeetingStore::finish(const std::string& id, const std::string& now) {
    Statement(db_, "UPDATE meetings SET finished_at = COALESCE(finished_at, ?2) WHERE id = ?1")
        .bind(1, id)
        .bind(2, now)
        .run();
    return sqlite3_changes(db_) == 1;
}

std::optional<MeetingStore::Meeting> MeetingStore::meeting(const std::string& id) const {
    Statement head(db_, "SELECT created_at, finished_at FROM meetings WHERE id = ?1");
    if (!head.bind(1, id).step()) {
        return std::nullopt;
    }
    Meeting meeting{id, head.text(0).value_or(""), head.text(1), {}};
    Statement rows(db_,
                   "SELECT seq, started_ms, ended_ms, speaker, text FROM segments "
                   "WHERE meeting_id = ?1 ORDER BY seq");
    rows.bind(1, id);
    while (rows.step()) {
        meeting.segments.push_back(
            Segment{.seq = rows.integer(0),
                    .startedMs = rows.integer(1),
                    .endedMs = rows.integer(2),
                    .speaker = speakerNamed(rows.text(3).value_or("")).value_or(Speaker::me),
                    .text = rows.text(4).value_or("")});
    }
    return meeting;
}

}  // namespace tessarin
