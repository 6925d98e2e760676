#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

class JSONValue;

// A date as the web server writes it: seconds or milliseconds since 1970 as a number, or ISO 8601
// text (date-time with or without fractional seconds, or a date alone meaning midnight UTC).
struct FlexibleDate {
    std::chrono::system_clock::time_point date;

    // A number above 1e11 is milliseconds; 1e11 itself and below are seconds. Throws
    // DecodingError ("Not a date: …" for unreadable text).
    static FlexibleDate decode(const JSONValue& value);
    static std::optional<std::chrono::system_clock::time_point> parse(std::string_view text);
    // ISO 8601 in UTC to the second, e.g. 2025-03-04T09:30:00Z.
    static std::string format(std::chrono::system_clock::time_point date);

    bool operator==(const FlexibleDate&) const = default;
};

}  // namespace tessarin
