#include "core/http/http_response.hpp"

#include <boost/beast/core/string.hpp>

namespace tessarin {

std::optional<std::string> HTTPResponse::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (boost::beast::iequals(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace tessarin
