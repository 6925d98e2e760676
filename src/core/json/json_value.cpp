#include "core/json/json_value.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/text/unicode_text.hpp"

namespace tessarin {

std::optional<std::string> JSONValue::stringValue() const {
    if (auto* text = std::get_if<std::string>(&storage_)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<bool> JSONValue::boolValue() const {
    if (auto* flag = std::get_if<bool>(&storage_)) {
        return *flag;
    }
    return std::nullopt;
}

std::optional<std::int64_t> JSONValue::intValue() const {
    if (auto* integer = std::get_if<std::int64_t>(&storage_)) {
        return *integer;
    }
    if (auto* real = std::get_if<double>(&storage_)) {
        const double value = *real;
        const bool integral = std::isfinite(value) && std::round(value) == value;
        if (integral && value > -9223372036854777856.0 && value < 9223372036854775808.0) {
            return static_cast<std::int64_t>(value);
        }
    }
    return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const {
    if (auto* integer = std::get_if<std::int64_t>(&storage_)) {
        return static_cast<double>(*integer);
    }
    if (auto* real = std::get_if<double>(&storage_)) {
        return *real;
    }
    return std::nullopt;
}

const JSONValue* JSONValue::member(std::string_view key) const {
    auto* members = objectValue();
    if (!members) {
        return nullptr;
    }
    auto found = members->find(key);
    return found == members->end() ? nullptr : &found->second;
}

namespace {

// Builds a JSONValue from the parser's events without recursion, refusing deep nesting.
class Builder final : public nlohmann::json_sax<nlohmann::json> {
  public:
    std::optional<JSONValue> result;

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override {
        // Beyond the signed range a number is no longer an integer of the protocol.
        if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
            return add(static_cast<double>(value));
        }
        return add(static_cast<std::int64_t>(value));
    }
    bool number_float(number_float_t value, const string_t&) override { return add(value); }
    bool string(string_t& value) override { return add(std::move(value)); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& value) override {
        pendingKey_ = std::move(value);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    struct Open {
        JSONValue value;
        std::string key;  // the key this container goes under in its parent object
    };

    bool add(JSONValue value) {
        if (stack_.empty()) {
            result = std::move(value);
            return true;
        }
        JSONValue& parent = stack_.back().value;
        if (auto* members = parent.objectValue()) {
            (*members)[std::move(pendingKey_)] = std::move(value);
        } else {
            appendToArray(parent, std::move(value));
        }
        return true;
    }

    bool open(bool object) {
        if (static_cast<int>(stack_.size()) >= JSONValue::maxParseDepth) {
            return false;
        }
        Open& top = stack_.emplace_back();
        top.key = std::move(pendingKey_);
        if (object) {
            top.value = JSONValue::Object{};
        } else {
            top.value = JSONValue::Array{};
        }
        return true;
    }

    bool close() {
        Open top = std::move(stack_.back());
        stack_.pop_back();
        pendingKey_ = std::move(top.key);
        return add(std::move(top.value));
    }

    static void appendToArray(JSONValue& array, JSONValue value) {
        array.arrayValue()->push_back(std::move(value));
    }

    std::vector<Open> stack_;
    std::string pendingKey_;
};

}  // namespace

std::optional<JSONValue> JSONValue::parse(std::string_view text) {
    // A raw NUL byte is never valid JSON, but the parser takes it for the end of the input and
    // would accept whatever came before it.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    Builder builder;
    const bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                              nlohmann::json::input_format_t::json, true);
    if (!ok || !builder.result) {
        return std::nullopt;
    }
    return std::move(builder.result);
}

namespace {

void writeString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : UnicodeText::repairUTF8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[byte >> 4]);
                    out.push_back(hex[byte & 0xF]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

bool writeValue(std::string& out, const JSONValue& value);

bool writeNumber(std::string& out, double number) {
    if (!std::isfinite(number)) {
        return false;
    }
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, end);
    return error == std::errc{};
}

bool writeValue(std::string& out, const JSONValue& value) {
    switch (value.kind()) {
        case JSONValue::Kind::null:
            out += "null";
            return true;
        case JSONValue::Kind::boolean:
            out += *value.boolValue() ? "true" : "false";
            return true;
        case JSONValue::Kind::integer:
            out += std::to_string(*value.intValue());
            return true;
        case JSONValue::Kind::real:
            return writeNumber(out, *value.numberValue());
        case JSONValue::Kind::string:
            writeString(out, *value.stringValue());
            return true;
        case JSONValue::Kind::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& item : *value.arrayValue()) {
                if (!first) {
                    out.push_back(',');
                }
                first = false;
                if (!writeValue(out, item)) {
                    return false;
                }
            }
            out.push_back(']');
            return true;
        }
        case JSONValue::Kind::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, member] : *value.objectValue()) {
                if (!first) {
                    out.push_back(',');
                }
                first = false;
                writeString(out, key);
                out.push_back(':');
                if (!writeValue(out, member)) {
                    return false;
                }
            }
            out.push_back('}');
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> JSONValue::serialized() const {
    std::string out;
    if (!writeValue(out, *this)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace tessarin
