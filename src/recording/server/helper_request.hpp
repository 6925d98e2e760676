#pragma once

#include <string>

#include "core/json/json_value.hpp"

namespace tessarin {

// One decoded request line: `id` is always an integer or a string, `params` always an object.
struct HelperRequest {
    JSONValue id;
    std::string cmd;
    JSONValue params = JSONValue::Object{};

    bool operator==(const HelperRequest&) const = default;
};

}  // namespace tessarin
