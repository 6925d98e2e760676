#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/url.hpp"

namespace tessarin {

// The head of an HTTP response as the transport received it. Redirects are never followed, so
// `url` is always the URL that was requested.
struct HTTPResponse {
    int status = 0;
    URL url;
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header field with that name (compared case-insensitively).
    std::optional<std::string> header(std::string_view name) const;
};

}  // namespace tessarin
