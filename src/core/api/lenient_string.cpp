#include "core/api/lenient_string.hpp"

#include "core/api/decoding_error.hpp"
#include "core/json/json_value.hpp"

namespace tessarin {

LenientString LenientString::decode(const JSONValue& value) {
    if (auto text = value.stringValue()) {
        return LenientString{*text};
    }
    if (value.kind() == JSONValue::Kind::integer) {
        return LenientString{std::to_string(*value.intValue())};
    }
    throw DecodingError("Expected an identifier (text or integer)");
}

}  // namespace tessarin
