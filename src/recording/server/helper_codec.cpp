#include "recording/server/helper_codec.hpp"

namespace tessarin {

HelperCodec::DecodeResult HelperCodec::decode(std::string_view line) {
    auto parsed = JSONValue::parse(line);
    if (!parsed || !parsed->isObject()) {
        return DecodeFailure::notJSON();
    }
    const JSONValue* id = parsed->member("id");
    const JSONValue idValue = id ? *id : JSONValue();

    // The cmd check comes first, so a line with neither a cmd nor a usable id says "Missing cmd".
    const JSONValue* cmd = parsed->member("cmd");
    const auto cmdText = cmd ? cmd->stringValue() : std::nullopt;
    if (!cmdText || cmdText->empty()) {
        return DecodeFailure::badRequest(idValue, "Missing cmd");
    }
    if (idValue.kind() != JSONValue::Kind::integer && idValue.kind() != JSONValue::Kind::string) {
        return DecodeFailure::badRequest(idValue, "id must be a number or a string");
    }
    const JSONValue* params = parsed->member("params");
    return HelperRequest{idValue, *cmdText,
                         params && params->isObject() ? *params : JSONValue(JSONValue::Object{})};
}

std::string HelperCodec::encode(const JSONValue& value) {
    return value.serialized().value_or("{}");
}

std::string HelperCodec::success(const JSONValue& id, const JSONValue& result) {
    return encode(JSONValue::object({{"id", id}, {"ok", true}, {"result", result}}));
}

std::string HelperCodec::failure(const JSONValue& id, const HelperError& error) {
    return encode(JSONValue::object({
        {"error", JSONValue::object({{"code", error.code()}, {"message", error.message()}})},
        {"id", id},
        {"ok", false},
    }));
}

std::string HelperCodec::event(std::string_view name, JSONValue::Object fields) {
    fields.insert_or_assign("event", JSONValue(name));
    return encode(JSONValue(std::move(fields)));
}

}  // namespace tessarin
