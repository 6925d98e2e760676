#include "core/api/calendar_event.hpp"

#include <algorithm>

#include "core/api/flexible_date.hpp"
#include "core/api/json_fields.hpp"
#include "core/api/lenient_string.hpp"

namespace tessarin {

namespace {

// An empty "conferenceUrl" means "no link" and hides any "hangoutLink".
std::optional<URL> conferenceLink(const JSONValue& value) {
    auto text = JSONFields::string(value, "conferenceUrl");
    if (!text) {
        text = JSONFields::string(value, "hangoutLink");
    }
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return URL::parse(*text);
}

}  // namespace

CalendarEvent CalendarEvent::decode(const JSONValue& value) {
    JSONFields::requireObject(value, "CalendarEvent");
    CalendarEvent event;
    event.id = LenientString::decode(JSONFields::required(value, "id")).value;
    event.title = JSONFields::firstString(value, {"title", "summary"}).value_or("Untitled meeting");
    if (auto start = JSONFields::date(value, "start")) {
        event.start = *start;
    } else {
        event.start = FlexibleDate::decode(JSONFields::required(value, "startsAt")).date;
    }
    event.end = JSONFields::date(value, "end");
    if (!event.end) {
        event.end = JSONFields::date(value, "endsAt");
    }
    event.attendees = JSONFields::optionalList<Attendee>(value, "attendees", Attendee::decode)
                          .value_or(std::vector<Attendee>{});
    event.conferenceURL = conferenceLink(value);
    return event;
}

bool CalendarEvent::isMeeting() const {
    if (conferenceURL) {
        return true;
    }
    const bool selfStated =
        std::any_of(attendees.begin(), attendees.end(), [](const Attendee& a) { return a.isSelf; });
    if (!selfStated) {
        return attendees.size() >= 2;
    }
    return std::any_of(attendees.begin(), attendees.end(),
                       [](const Attendee& a) { return a.isSelf != true; });
}

}  // namespace tessarin
