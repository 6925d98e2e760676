#include "core/api/json_fields.hpp"

#include "core/api/flexible_date.hpp"

namespace tessarin::JSONFields {

const JSONValue::Object& requireObject(const JSONValue& value, std::string_view model) {
    const auto* members = value.objectValue();
    if (!members) {
        throw DecodingError("Expected an object for " + std::string(model));
    }
    return *members;
}

std::optional<std::string> string(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.member(key);
    return member ? member->stringValue() : std::nullopt;
}

std::optional<bool> boolean(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.member(key);
    return member ? member->boolValue() : std::nullopt;
}

std::optional<URL> url(const JSONValue& object, std::string_view key) {
    auto text = string(object, key);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return URL::parse(*text);
}

std::optional<std::chrono::system_clock::time_point> date(const JSONValue& object,
                                                          std::string_view key) {
    const JSONValue* member = object.member(key);
    if (!member) {
        return std::nullopt;
    }
    try {
        return FlexibleDate::decode(*member).date;
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

const JSONValue* object(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.member(key);
    return member && member->isObject() ? member : nullptr;
}

namespace {

template <class Read>
auto firstOf(const JSONValue& object, std::initializer_list<std::string_view> keys, Read read)
    -> decltype(read(object, std::string_view())) {
    for (std::string_view key : keys) {
        if (auto found = read(object, key)) {
            return found;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> firstString(const JSONValue& object,
                                       std::initializer_list<std::string_view> keys) {
    return firstOf(object, keys, string);
}

std::optional<bool> firstBoolean(const JSONValue& object,
                                 std::initializer_list<std::string_view> keys) {
    return firstOf(object, keys, boolean);
}

std::optional<std::chrono::system_clock::time_point> firstDate(
    const JSONValue& object, std::initializer_list<std::string_view> keys) {
    return firstOf(object, keys, date);
}

const JSONValue& required(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.member(key);
    if (!member) {
        throw DecodingError("Missing \"" + std::string(key) + "\"");
    }
    return *member;
}

}  // namespace tessarin::JSONFields
