#pragma once

#include <vector>

#include "core/api/meeting_summary.hpp"

namespace tessarin {

class JSONValue;

struct MeetingList {
    std::vector<MeetingSummary> meetings;

    // A bare array of summaries, or an object with the list under "meetings" or "items".
    static MeetingList decode(const JSONValue& value);

    bool operator==(const MeetingList&) const = default;
};

}  // namespace tessarin
