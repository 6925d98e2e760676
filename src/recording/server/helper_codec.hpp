#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/json/json_value.hpp"
#include "recording/server/helper_error.hpp"
#include "recording/server/helper_request.hpp"

namespace tessarin {

// Turns input lines into requests and results, errors and events into output lines. Stateless;
// never throws: bad input becomes a DecodeFailure, an unwritable value the line "{}".
class HelperCodec {
  public:
    static constexpr std::int64_t protocolVersion = 1;

    struct DecodeFailure {
        enum class Kind { badRequest, notJSON };
        Kind kind = Kind::notJSON;
        JSONValue id;  // badRequest: the line's id as found (null when it had none)
        std::string message;

        static DecodeFailure notJSON() { return {}; }
        static DecodeFailure badRequest(JSONValue id, std::string message) {
            return {Kind::badRequest, std::move(id), std::move(message)};
        }
        bool operator==(const DecodeFailure&) const = default;
    };

    using DecodeResult = std::variant<HelperRequest, DecodeFailure>;

    static DecodeResult decode(std::string_view line);
    static std::string encode(const JSONValue& value);
    static std::string success(const JSONValue& id, const JSONValue& result);
    static std::string failure(const JSONValue& id, const HelperError& error);
    static std::string event(std::string_view name, JSONValue::Object fields = {});
};

}  // namespace tessarin
