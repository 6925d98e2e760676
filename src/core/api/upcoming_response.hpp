#pragma once

#include <optional>
#include <vector>

#include "core/api/calendar_event.hpp"
#include "core/http/url.hpp"

namespace tessarin {

class JSONValue;

struct UpcomingResponse {
    std::vector<CalendarEvent> events;
    bool connected = true;
    std::optional<URL> connectURL;

    static UpcomingResponse decode(const JSONValue& value);

    bool operator==(const UpcomingResponse&) const = default;
};

}  // namespace tessarin
