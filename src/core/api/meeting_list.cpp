#include "core/api/meeting_list.hpp"

#include "core/api/json_fields.hpp"

namespace tessarin {

MeetingList MeetingList::decode(const JSONValue& value) {
    if (value.arrayValue()) {
        return MeetingList{JSONFields::list<MeetingSummary>(value, MeetingSummary::decode)};
    }
    JSONFields::requireObject(value, "MeetingList");
    if (auto meetings =
            JSONFields::optionalList<MeetingSummary>(value, "meetings", MeetingSummary::decode)) {
        return MeetingList{std::move(*meetings)};
    }
    return MeetingList{JSONFields::list<MeetingSummary>(JSONFields::required(value, "items"),
                                                        MeetingSummary::decode)};
}

}  // namespace tessarin
