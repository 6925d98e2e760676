// A realtime session's item bookkeeping driven by a script of commits and service events, one per
// line: "c <ms>" sends a commit of the next <ms> of audio, "C <id>" is the service acknowledging
// the oldest commit for an item, "d <id> <text>", "D <id>[ <text>]" and "f <id>" are an item's
// delta, completion (with or without a transcript) and failure, "e" is an empty commit and "F"
// the final flush. Every report covers a commit that was sent and not reported before, with
// normalised text; nothing grows past its bound.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "fuzz_support.hpp"
#include "recording/realtime/realtime_items.hpp"

using namespace tessarin;

namespace {

class Script {
  public:
    void run(std::string_view line) {
        const char op = line.empty() ? ' ' : line[0];
        const std::string_view rest = line.substr(std::min<std::size_t>(2, line.size()));
        const std::string_view id = rest.substr(0, rest.find(' '));
        const std::string_view text = rest.substr(std::min(id.size() + 1, rest.size()));
        switch (op) {
            case 'c':
                commit(rest);
                break;
            case 'C':
                check(items_.committed(id));
                break;
            case 'd':
                if (auto whole = items_.delta(id, text)) {
                    require(whole->size() <= RealtimeItems::maxTextBytes,
                            "an item's text is capped");
                }
                break;
            case 'D':
                check(items_.completed(
                    id, id.size() < rest.size() ? std::optional(std::string(text)) : std::nullopt));
                break;
            case 'f':
                items_.failed(id);
                break;
            case 'e':
                items_.commitWasEmpty();
                break;
            case 'F':
                for (const auto& report : items_.flush()) {
                    check(report);
                }
                require(items_.drained() == (items_.pendingCommitCount() == 0),
                        "after a flush only unacknowledged commits are due");
                break;
        }
        require(items_.itemCount() <= RealtimeItems::maxItems, "the items awaited are bounded");
        require(items_.pendingCommitCount() <= sent_.size(), "no commit is due that was not sent");
    }

  private:
    void commit(std::string_view length) {
        const std::int64_t ms = std::strtoll(std::string(length).c_str(), nullptr, 10);
        const std::int64_t t0 = sent_.empty() ? 0 : sent_.rbegin()->second;
        const std::int64_t t1 = t0 + std::clamp<std::int64_t>(ms, 1, 1'000'000);
        sent_.emplace(t0, t1);
        items_.commitSent(t0, t1);
    }

    void check(const std::optional<RealtimeItems::Report>& report) {
        if (!report) {
            return;
        }
        const auto commit = sent_.find(report->t0);
        require(commit != sent_.end() && commit->second == report->t1, "a report covers a commit");
        require(reported_.insert(report->t0).second, "a commit is reported once");
        require(!report->text.empty() && RealtimeItems::normalised(report->text) == report->text &&
                    report->text.size() <= RealtimeItems::maxTextBytes,
                "a report's text is normalised and capped");
    }

    RealtimeItems items_;
    std::map<std::int64_t, std::int64_t> sent_;
    std::set<std::int64_t> reported_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script items;
    for (const std::string& line : linesOf(textOf(data, size))) {
        items.run(line);
    }
    return 0;
}
