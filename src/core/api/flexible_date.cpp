#include "core/api/flexible_date.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/api/decoding_error.hpp"
#include "core/json/json_value.hpp"

namespace tessarin {

namespace {

using namespace std::chrono;

// Dates the clock can hold: system_clock counts nanoseconds, about 292 years either side of 1970.
constexpr double maxSeconds = 9.0e9;

std::optional<int> digits(std::string_view text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<sys_days> calendarDay(std::string_view text) {
    auto y = digits(text, 0, 4), m = digits(text, 5, 2), d = digits(text, 8, 2);
    if (!y || !m || !d || text.size() < 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    const year_month_day day{year(*y), month(static_cast<unsigned>(*m)),
                             std::chrono::day(static_cast<unsigned>(*d))};
    if (!day.ok()) {
        return std::nullopt;
    }
    return sys_days(day);
}

bool representable(sys_seconds when) {
    const auto count = when.time_since_epoch().count();
    return std::abs(static_cast<double>(count)) < maxSeconds;
}

// "YYYY-MM-DDTHH:MM:SS[.fraction](Z|±HHMM|±HH:MM)".
std::optional<system_clock::time_point> dateTime(std::string_view text) {
    auto day = calendarDay(text);
    if (!day || text.size() < 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!h || !mi || !s || *h > 23 || *mi > 59 || *s > 60) {
        return std::nullopt;
    }
    std::size_t at = 19;
    nanoseconds fraction{0};
    if (text[at] == '.') {
        ++at;
        const std::size_t start = at;
        std::int64_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 9) {
            value = value * 10 + (text[at] - '0');
            ++at;
        }
        if (at == start) {
            return std::nullopt;
        }
        for (std::size_t n = at - start; n < 9; ++n) {
            value *= 10;
        }
        fraction = nanoseconds(value);
    }
    minutes offset{0};
    const std::string_view zone = text.substr(at);
    if (zone == "Z") {
    } else if ((zone.size() == 5 || zone.size() == 6) && (zone[0] == '+' || zone[0] == '-')) {
        const bool colon = zone.size() == 6;
        if (colon && zone[3] != ':') {
            return std::nullopt;
        }
        auto zh = digits(zone, 1, 2), zm = digits(zone, colon ? 4 : 3, 2);
        if (!zh || !zm || *zh > 23 || *zm > 59) {
            return std::nullopt;
        }
        offset = hours(*zh) + minutes(*zm);
        if (zone[0] == '-') {
            offset = -offset;
        }
    } else {
        return std::nullopt;
    }
    const sys_seconds whole = *day + hours(*h) + minutes(*mi) + seconds(*s) - offset;
    if (!representable(whole)) {
        return std::nullopt;
    }
    return time_point_cast<system_clock::duration>(whole + fraction);
}

}  // namespace

std::optional<system_clock::time_point> FlexibleDate::parse(std::string_view text) {
    if (auto when = dateTime(text)) {
        return when;
    }
    if (text.size() == 10) {
        if (auto day = calendarDay(text); day && representable(sys_seconds(*day))) {
            return time_point_cast<system_clock::duration>(sys_seconds(*day));
        }
    }
    return std::nullopt;
}

std::string FlexibleDate::format(system_clock::time_point date) {
    const auto whole = floor<seconds>(date);
    const auto day = floor<days>(whole);
    const year_month_day ymd{day};
    const hh_mm_ss time{whole - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02lldZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long long>(time.seconds().count()));
    return text;
}

FlexibleDate FlexibleDate::decode(const JSONValue& value) {
    if (auto number = value.numberValue()) {
        double t = *number;
        if (t > 1e11) {
            t /= 1000;
        }
        if (!std::isfinite(t) || std::abs(t) >= maxSeconds) {
            throw DecodingError("Not a date: " + std::to_string(*number));
        }
        const auto since = duration_cast<system_clock::duration>(duration<double>(t));
        return FlexibleDate{system_clock::time_point(since)};
    }
    auto text = value.stringValue();
    if (!text) {
        throw DecodingError("Expected a date");
    }
    if (auto when = parse(*text)) {
        return FlexibleDate{*when};
    }
    throw DecodingError("Not a date: " + *text);
}

}  // namespace tessarin
