#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/api/attendee.hpp"
#include "core/http/url.hpp"

namespace tessarin {

class JSONValue;

struct CalendarEvent {
    std::string id;
    std::string title;
    std::chrono::system_clock::time_point start;
    std::optional<std::chrono::system_clock::time_point> end;
    std::vector<Attendee> attendees;
    std::optional<URL> conferenceURL;

    // Whether the event looks like a meeting with other people: it has a conference link, or
    // attendees other than the user.
    bool isMeeting() const;

    static CalendarEvent decode(const JSONValue& value);

    bool operator==(const CalendarEvent&) const = default;
};

}  // namespace tessarin
