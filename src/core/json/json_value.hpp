#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tessarin {

// The protocol's JSON value. Objects keep their members in ascending byte order of the keys, which
// is the order lines are written in.
class JSONValue {
  public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue, std::less<>>;

    enum class Kind { boolean, integer, real, string, array, object, null };

    // Nesting deeper than this is refused when parsing, so hostile input cannot exhaust the stack.
    static constexpr int maxParseDepth = 512;

    JSONValue() = default;
    JSONValue(std::nullptr_t) {}
    JSONValue(bool value) : storage_(value) {}
    template <class Integer>
    requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) JSONValue(Integer value)
        : storage_(static_cast<std::int64_t>(value)) {}
    JSONValue(double value) : storage_(value) {}
    JSONValue(const char* text) : storage_(std::string(text)) {}
    JSONValue(std::string text) : storage_(std::move(text)) {}
    JSONValue(std::string_view text) : storage_(std::string(text)) {}
    JSONValue(Array items) : storage_(std::move(items)) {}
    JSONValue(Object members) : storage_(std::move(members)) {}

    static JSONValue array(std::initializer_list<JSONValue> items) { return Array(items); }
    static JSONValue object(std::initializer_list<Object::value_type> members) {
        return Object(members);
    }

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isNull() const { return kind() == Kind::null; }
    bool isObject() const { return kind() == Kind::object; }
    bool isNumber() const { return kind() == Kind::integer || kind() == Kind::real; }

    // Accessors answer nothing when the value is of another kind.
    std::optional<std::string> stringValue() const;
    std::optional<bool> boolValue() const;
    // An integer, or a double whose value is integral and inside the 64-bit range.
    std::optional<std::int64_t> intValue() const;
    // Any number as a double.
    std::optional<double> numberValue() const;
    const Array* arrayValue() const { return std::get_if<Array>(&storage_); }
    Array* arrayValue() { return std::get_if<Array>(&storage_); }
    const Object* objectValue() const { return std::get_if<Object>(&storage_); }
    Object* objectValue() { return std::get_if<Object>(&storage_); }
    // The member with that key of an object; nothing for a missing key or a non-object.
    const JSONValue* member(std::string_view key) const;

    bool operator==(const JSONValue& other) const = default;

    // Parses one JSON text (RFC 8259, UTF-8). Nothing when it is not valid JSON or nests deeper
    // than maxParseDepth.
    static std::optional<JSONValue> parse(std::string_view text);
    // Compact JSON text: sorted keys, "/" unescaped, non-ASCII written as raw UTF-8 (ill-formed
    // UTF-8 in a string becomes U+FFFD). Nothing when the value has a non-finite number.
    std::optional<std::string> serialized() const;

  private:
    std::variant<bool, std::int64_t, double, std::string, Array, Object, std::nullptr_t> storage_ =
        nullptr;
};

}  // namespace tessarin
