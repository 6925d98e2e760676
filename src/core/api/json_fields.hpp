#pragma once

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/api/decoding_error.hpp"
#include "core/http/url.hpp"
#include "core/json/json_value.hpp"

namespace tessarin {

// Reading the web server's JSON leniently. An optional field that is absent, null or of another
// type reads as missing (nothing); the `required…` readers throw DecodingError instead.
namespace JSONFields {

// The object of a model's top level; throws DecodingError naming the model otherwise.
const JSONValue::Object& requireObject(const JSONValue& value, std::string_view model);

std::optional<std::string> string(const JSONValue& object, std::string_view key);
std::optional<bool> boolean(const JSONValue& object, std::string_view key);
// A non-empty string that parses as a URL reference.
std::optional<URL> url(const JSONValue& object, std::string_view key);
std::optional<std::chrono::system_clock::time_point> date(const JSONValue& object,
                                                          std::string_view key);
// An object member that is itself an object.
const JSONValue* object(const JSONValue& object, std::string_view key);

// The first of `keys` that does not read as missing.
std::optional<std::string> firstString(const JSONValue& object,
                                       std::initializer_list<std::string_view> keys);
std::optional<bool> firstBoolean(const JSONValue& object,
                                 std::initializer_list<std::string_view> keys);
std::optional<std::chrono::system_clock::time_point> firstDate(
    const JSONValue& object, std::initializer_list<std::string_view> keys);

const JSONValue& required(const JSONValue& object, std::string_view key);

// Every element decoded with `decode`; throws when the value is not an array or an element fails.
template <class Element, class Decode>
std::vector<Element> list(const JSONValue& value, Decode decode) {
    const auto* items = value.arrayValue();
    if (!items) {
        throw DecodingError("Expected an array");
    }
    std::vector<Element> out;
    out.reserve(items->size());
    for (const auto& item : *items) {
        out.push_back(decode(item));
    }
    return out;
}

// The list under `key`, or nothing when it is missing or any element fails.
template <class Element, class Decode>
std::optional<std::vector<Element>> optionalList(const JSONValue& object, std::string_view key,
                                                 Decode decode) {
    const JSONValue* member = object.member(key);
    if (!member) {
        return std::nullopt;
    }
    try {
        return list<Element>(*member, decode);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace JSONFields

}  // namespace tessarin
