#include "core/api/attendee.hpp"

#include "core/api/json_fields.hpp"

namespace tessarin {

Attendee Attendee::decode(const JSONValue& value) {
    if (auto email = value.stringValue()) {
        Attendee attendee;
        attendee.email = *email;
        return attendee;
    }
    JSONFields::requireObject(value, "Attendee");
    Attendee attendee;
    attendee.email = JSONFields::string(value, "email");
    attendee.name = JSONFields::string(value, "name");
    if (!attendee.name) {
        attendee.name = JSONFields::string(value, "displayName");
    }
    attendee.isSelf = JSONFields::boolean(value, "self");
    return attendee;
}

}  // namespace tessarin
