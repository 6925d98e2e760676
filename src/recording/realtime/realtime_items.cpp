#include "recording/realtime/realtime_items.hpp"

#include <algorithm>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace tessarin {

void RealtimeItems::commitSent(std::int64_t t0, std::int64_t t1) {
    pendingCommits_.emplace_back(t0, t1);
    unsettled_.emplace_back(t0, t1);
    cleared(t1);
}

void RealtimeItems::cleared(std::int64_t ms) {
    openFrom_ = std::max(openFrom_, ms);
}

std::int64_t RealtimeItems::untranscribedFrom() const {
    return unsettled_.empty() ? openFrom_ : unsettled_.front().first;
}

std::optional<RealtimeItems::Report> RealtimeItems::committed(std::string_view itemID) {
    Item* found = item(itemID);
    if (pendingCommits_.empty()) {
        return std::nullopt;
    }
    // The answer belongs to the oldest commit even when its item cannot be tracked (at the cap):
    // later items must not inherit its range. Such a commit stays untranscribed.
    const Range range = pendingCommits_.front();
    pendingCommits_.pop_front();
    if (!found) {
        return std::nullopt;
    }
    found->range = range;
    if (found->emitted) {  // failed before it was acknowledged
        settle(range);
        return std::nullopt;
    }
    return emitIfReady(*found);
}

std::optional<std::string> RealtimeItems::delta(std::string_view itemID, std::string_view piece) {
    Item* found = item(itemID);
    if (!found || found->done) {
        return std::nullopt;
    }
    if (found->text.size() + piece.size() > maxTextBytes) {
        return std::nullopt;
    }
    found->text += piece;
    return found->text;
}

std::optional<RealtimeItems::Report> RealtimeItems::completed(
    std::string_view itemID, const std::optional<std::string>& transcript) {
    Item* found = item(itemID);
    if (!found) {
        return std::nullopt;
    }
    if (transcript && !found->emitted) {
        found->text.clear();
        appendCapped(found->text, *transcript);
    }
    found->done = true;
    return emitIfReady(*found);
}

void RealtimeItems::failed(std::string_view itemID) {
    Item* found = item(itemID);
    if (!found || found->emitted) {
        return;
    }
    found->done = true;
    found->emitted = true;
    found->text.clear();
    if (found->range) {
        settle(*found->range);
    }
}

void RealtimeItems::commitWasEmpty() {
    if (!pendingCommits_.empty()) {
        settle(pendingCommits_.front());
        pendingCommits_.pop_front();
    }
}

void RealtimeItems::settle(const Range& range) {
    if (auto found = std::find(unsettled_.begin(), unsettled_.end(), range);
        found != unsettled_.end()) {
        unsettled_.erase(found);
    }
}

bool RealtimeItems::drained() const {
    return pendingCommits_.empty() &&
           std::all_of(items_.begin(), items_.end(),
                       [](const auto& entry) { return entry.second.done; });
}

std::vector<RealtimeItems::Report> RealtimeItems::flush() {
    std::vector<Item*> ordered;
    for (auto& [id, entry] : items_) {
        ordered.push_back(&entry);
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const Item* a, const Item* b) { return a->order < b->order; });
    std::vector<Report> reports;
    for (Item* entry : ordered) {
        if (entry->emitted) {
            continue;
        }
        auto range = entry->range;
        if (!range && !pendingCommits_.empty()) {
            range = pendingCommits_.front();
            pendingCommits_.pop_front();
        }
        std::string text = normalised(entry->text);
        if (range && !text.empty()) {
            settle(*range);
            reports.push_back({range->first, range->second, std::move(text)});
        }
        entry->emitted = true;
        entry->done = true;
        entry->text.clear();
    }
    return reports;
}

std::string RealtimeItems::normalised(std::string_view text) {
    std::string result;
    std::string_view::size_type wordStart = std::string_view::npos;
    std::int32_t offset = 0;
    const auto length = static_cast<std::int32_t>(text.size());
    auto closeWord = [&](std::int32_t end) {
        if (wordStart != std::string_view::npos) {
            if (!result.empty()) {
                result += ' ';
            }
            result.append(text.substr(wordStart, static_cast<std::size_t>(end) - wordStart));
            wordStart = std::string_view::npos;
        }
    };
    while (offset < length) {
        const std::int32_t start = offset;
        UChar32 codePoint = 0;
        U8_NEXT(reinterpret_cast<const std::uint8_t*>(text.data()), offset, length, codePoint);
        // Ill-formed bytes (codePoint < 0) are kept as part of a word.
        if (codePoint >= 0 && u_isUWhiteSpace(codePoint)) {
            closeWord(start);
        } else if (wordStart == std::string_view::npos) {
            wordStart = static_cast<std::size_t>(start);
        }
    }
    closeWord(length);
    return result;
}

RealtimeItems::Item* RealtimeItems::item(std::string_view itemID) {
    if (auto found = items_.find(itemID); found != items_.end()) {
        return &found->second;
    }
    if (items_.size() >= maxItems && !makeRoom()) {
        return nullptr;
    }
    Item created;
    created.order = ++nextOrder_;
    return &items_.emplace(std::string(itemID), std::move(created)).first->second;
}

// Forgets the earliest reported item. A forgotten item that the service names again starts afresh,
// which only matters for a service repeating itself long after the fact.
bool RealtimeItems::makeRoom() {
    auto oldest = items_.end();
    for (auto entry = items_.begin(); entry != items_.end(); ++entry) {
        if (entry->second.emitted &&
            (oldest == items_.end() || entry->second.order < oldest->second.order)) {
            oldest = entry;
        }
    }
    if (oldest == items_.end()) {
        return false;
    }
    items_.erase(oldest);
    return true;
}

std::optional<RealtimeItems::Report> RealtimeItems::emitIfReady(Item& entry) {
    if (!entry.done || !entry.range || entry.emitted) {
        return std::nullopt;
    }
    std::string text = normalised(entry.text);
    entry.emitted = true;
    entry.text.clear();
    settle(*entry.range);
    if (text.empty()) {
        return std::nullopt;
    }
    return Report{entry.range->first, entry.range->second, std::move(text)};
}

void RealtimeItems::appendCapped(std::string& text, std::string_view piece) {
    if (text.size() + piece.size() <= maxTextBytes) {
        text += piece;
        return;
    }
    std::size_t room = maxTextBytes - std::min(text.size(), maxTextBytes);
    // Cut before a UTF-8 continuation byte so a character is never split.
    while (room > 0 && room < piece.size() &&
           (static_cast<unsigned char>(piece[room]) & 0xC0) == 0x80) {
        --room;
    }
    text.append(piece.substr(0, room));
}

}  // namespace tessarin
