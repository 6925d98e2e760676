#include "core/api/me.hpp"

#include "core/api/json_fields.hpp"
#include "core/api/lenient_string.hpp"

namespace tessarin {

Me Me::decode(const JSONValue& value) {
    JSONFields::requireObject(value, "Me");
    const JSONValue* user = JSONFields::object(value, "user");
    const JSONValue& profile = user ? *user : value;
    Me me;
    if (const JSONValue* id = profile.member("id")) {
        try {
            me.id = LenientString::decode(*id).value;
        } catch (const DecodingError&) {
        }
    }
    me.email = JSONFields::string(profile, "email");
    me.name = JSONFields::string(profile, "name");
    if (const JSONValue* google = JSONFields::object(value, "google")) {
        me.googleConnected = JSONFields::boolean(*google, "connected").value_or(false);
        me.connectURL = JSONFields::url(*google, "connectUrl");
    } else {
        me.googleConnected =
            JSONFields::firstBoolean(value, {"googleConnected", "connected"}).value_or(false);
        me.connectURL = JSONFields::url(value, "connectUrl");
    }
    return me;
}

}  // namespace tessarin
