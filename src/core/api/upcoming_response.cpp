#include "core/api/upcoming_response.hpp"

#include "core/api/json_fields.hpp"

namespace tessarin {

UpcomingResponse UpcomingResponse::decode(const JSONValue& value) {
    if (value.arrayValue()) {
        try {
            UpcomingResponse response;
            response.events = JSONFields::list<CalendarEvent>(value, CalendarEvent::decode);
            return response;
        } catch (const DecodingError&) {
            // falls through to the object form, which fails for an array
        }
    }
    JSONFields::requireObject(value, "UpcomingResponse");
    UpcomingResponse response;
    auto events = JSONFields::optionalList<CalendarEvent>(value, "events", CalendarEvent::decode);
    if (!events) {
        events = JSONFields::optionalList<CalendarEvent>(value, "items", CalendarEvent::decode);
    }
    response.events = std::move(events).value_or(std::vector<CalendarEvent>{});
    response.connectURL = JSONFields::url(value, "connectUrl");
    response.connected = JSONFields::firstBoolean(value, {"connected", "googleConnected"})
                             .value_or(!response.connectURL);
    return response;
}

}  // namespace tessarin
