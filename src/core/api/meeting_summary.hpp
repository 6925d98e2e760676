#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/http/url.hpp"

namespace tessarin {

class JSONValue;

struct MeetingSummary {
    std::string id;
    std::string title;
    std::optional<std::chrono::system_clock::time_point> startsAt;
    std::optional<std::string> status;
    std::optional<std::string> visibility;
    std::optional<URL> url;

    // The meeting's web page: `url` when it is an http(s) URL, `url` resolved against `app` when
    // it has no scheme, else `app`/meetings/`id`.
    URL pageURL(const URL& app) const;

    static MeetingSummary decode(const JSONValue& value);

    bool operator==(const MeetingSummary&) const = default;
};

}  // namespace tessarin
