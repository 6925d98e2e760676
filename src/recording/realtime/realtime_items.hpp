#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin {

// The bookkeeping of one realtime session's transcription items: which commit each item covers,
// its text so far, and whether it was reported. Items are numbered in the order the service first
// mentions them and reported as soon as they are both committed and completed, each once.
//
// It also knows from which position on the audio sent still lacks a transcript: the oldest commit
// that is not settled (reported, or found empty or failed by the service), else the end of the
// last commit or cleared stretch. The session holds that audio so that a failure loses none of it.
//
// A plain value with no I/O, so that the session's ordering rules are checked on their own. Memory
// is bounded against a misbehaving service: an item's text is capped, and so is the number of items
// still awaited (events naming further new items are ignored; reported items make room).
class RealtimeItems {
  public:
    // A finished transcript to report for the commit t0..t1 (ms).
    struct Report {
        std::int64_t t0 = 0;
        std::int64_t t1 = 0;
        std::string text;
        bool operator==(const Report&) const = default;
    };

    static constexpr std::size_t maxTextBytes = 64 * 1024;
    static constexpr std::size_t maxItems = 1024;

    // A commit was sent for the audio t0..t1; the service acknowledges commits in order.
    void commitSent(std::int64_t t0, std::int64_t t1);
    // The audio before `ms` that no commit covers was silence, discarded at the service.
    void cleared(std::int64_t ms);
    // The position from which the audio sent has no transcript yet.
    std::int64_t untranscribedFrom() const;
    // "input_audio_buffer.committed": the oldest pending commit becomes the item's range.
    std::optional<Report> committed(std::string_view itemID);
    // An interim piece of an item's text; the whole text so far, or nothing when it is ignored.
    std::optional<std::string> delta(std::string_view itemID, std::string_view piece);
    // "completed": the final transcript (the text so far when absent).
    std::optional<Report> completed(std::string_view itemID,
                                    const std::optional<std::string>& transcript);
    // "failed": the item is settled without text.
    void failed(std::string_view itemID);
    // The service found the oldest commit empty: it will never name an item for it.
    void commitWasEmpty();

    // Nothing is still due: no unacknowledged commit, every item done.
    bool drained() const;
    // Settles every item not yet reported, in order, with its range or the oldest pending one;
    // returns the reports with a range and some text. Commits left without text stay untranscribed.
    std::vector<Report> flush();

    std::size_t pendingCommitCount() const { return pendingCommits_.size(); }
    std::size_t itemCount() const { return items_.size(); }

    // Splits at white space, drops empty pieces and joins with single blanks.
    static std::string normalised(std::string_view text);

  private:
    using Range = std::pair<std::int64_t, std::int64_t>;

    struct Item {
        std::optional<Range> range;
        std::string text;
        bool done = false;
        bool emitted = false;
        std::int64_t order = 0;
    };

    Item* item(std::string_view itemID);
    void settle(const Range& range);
    bool makeRoom();
    std::optional<Report> emitIfReady(Item& item);
    static void appendCapped(std::string& text, std::string_view piece);

    std::int64_t nextOrder_ = 0;
    // Commits not yet acknowledged, oldest first.
    std::deque<Range> pendingCommits_;
    // Commits whose transcript has not come, oldest first.
    std::deque<Range> unsettled_;
    std::int64_t openFrom_ = 0;
    std::map<std::string, Item, std::less<>> items_;
};

}  // namespace tessarin
