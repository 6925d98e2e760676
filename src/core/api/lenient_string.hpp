#pragma once

#include <string>

namespace tessarin {

class JSONValue;

// An identifier that the web server sends as text or as an integer (42 reads as "42").
struct LenientString {
    std::string value;

    // Throws DecodingError when the value is neither a string nor an integer.
    static LenientString decode(const JSONValue& value);

    bool operator==(const LenientString&) const = default;
};

}  // namespace tessarin
