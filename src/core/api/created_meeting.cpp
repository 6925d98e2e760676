#include "core/api/created_meeting.hpp"

#include "core/api/json_fields.hpp"
#include "core/api/lenient_string.hpp"

namespace tessarin {

CreatedMeeting CreatedMeeting::decode(const JSONValue& value) {
    JSONFields::requireObject(value, "CreatedMeeting");
    const JSONValue* meeting = JSONFields::object(value, "meeting");
    const JSONValue& holder = meeting ? *meeting : value;
    return CreatedMeeting{LenientString::decode(JSONFields::required(holder, "id")).value};
}

}  // namespace tessarin
