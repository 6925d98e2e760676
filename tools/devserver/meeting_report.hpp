#pragma once

#include <string>

#include "core/json/json_value.hpp"
#include "devserver/meeting_store.hpp"

namespace tessarin {

// A stored meeting as --show prints it: lines for a person, or one JSON object for a script.
namespace MeetingReport {

// "meeting M: finished at …" (or "not finished"), then one line per segment in seq order:
// "  #seq  m:ss.s-m:ss.s  speaker  text".
std::string text(const MeetingStore::Meeting& meeting);
// {"meeting", "createdAt", "finished", "finishedAt" (or null), "segments": [...]}.
JSONValue json(const MeetingStore::Meeting& meeting);

}  // namespace MeetingReport

}  // namespace tessarin
