#pragma once

#include <string>

namespace tessarin {

class JSONValue;

struct CreatedMeeting {
    std::string id;

    // "id" of the object under "meeting" when there is one, else the top-level "id".
    static CreatedMeeting decode(const JSONValue& value);

    bool operator==(const CreatedMeeting&) const = default;
};

}  // namespace tessarin
