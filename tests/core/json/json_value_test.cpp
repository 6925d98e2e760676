#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"

namespace tessarin {
namespace {

using Kind = JSONValue::Kind;
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(JSONValue, TheConformanceCorpusIsAcceptedOrRejectedAsEachFileSays) {
    const auto folder =
        std::filesystem::path(TESSARIN_TEST_DATA_DIR) / "json-test-suite" / "test_parsing";
    int decided = 0;  // files that must be accepted or refused; the rest only have to return
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        const bool parsed =
            JSONValue::parse(std::string(std::istreambuf_iterator<char>(in), {})).has_value();
        if (!name.starts_with("i_")) {
            EXPECT_EQ(parsed, name.starts_with("y_")) << name;
            ++decided;
        }
    }
    EXPECT_EQ(decided, 95 + 188);
}

TEST(JSONValue, ParseReadsIntegersToTheirLimitAndRefusesWhatIsNotJSON) {
    const int limit = JSONValue::maxParseDepth;
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    // clang-format off
    const std::pair<std::string, std::optional<Kind>> cases[] = {
        {"9223372036854775807", Kind::integer}, {"-9223372036854775808", Kind::integer},
        {"9223372036854775808", Kind::real}, {"-9223372036854775809", Kind::real},
        {"7.0", Kind::real}, {"1e2", Kind::real}, {nested(limit), Kind::array},
        {nested(limit + 1), std::nullopt}, {nested(100000), std::nullopt},
        {"{\"a\":\"\xC3\x28\"}", std::nullopt}, {"\"\xED\xA0\x80\"", std::nullopt},  // a lone byte, a surrogate
        {std::string("{\"a\":1}\0garbage", 15), std::nullopt}, {std::string("\0", 1), std::nullopt}};
    // clang-format on
    for (const auto& [text, kind] : cases) {
        const auto value = JSONValue::parse(text);
        EXPECT_EQ(value ? std::optional(value->kind()) : std::nullopt, kind) << text.size();
    }
}

TEST(JSONValue, IntValueTakesOnlyIntegralNumbersInsideTheRange) {
    const std::optional<std::int64_t> no;
    // clang-format off
    const std::pair<JSONValue, std::optional<std::int64_t>> cases[] = {
        {INT64_MAX, INT64_MAX}, {INT64_MIN, INT64_MIN}, {-3.0, -3}, {2.5, no}, {"2", no}, {nullptr, no},
        {9223372036854774784.0, 9223372036854774784}, {9223372036854775808.0, no},
        {-9223372036854775808.0, INT64_MIN}, {-9223372036854777856.0, no}, {std::nan(""), no}, {inf, no}};
    // clang-format on
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(value.intValue(), expected) << value.serialized().value_or("?");
    }
}

TEST(JSONValue, SerializesCompactSortedUTF8OrNothingForNonFiniteNumbers) {
    const std::pair<JSONValue, std::optional<std::string>> cases[] = {
        {JSONValue::object({{"b", JSONValue::array({1, 0.123, nullptr, false, INT64_MIN})},
                            {"a", "x"},
                            {"B", 3}}),
         R"({"B":3,"a":"x","b":[1,0.123,null,false,-9223372036854775808]})"},
        {"a/b Grüße → 日本 quote\" back\\ nl\n tab\t ctl\x01\x1F\x20\x7F",
         "\"a/b Grüße → 日本 quote\\\" back\\\\ nl\\n tab\\t ctl\\u0001\\u001f \x7F\""},
        {"bad \xC3\x28 byte", "\"bad \xEF\xBF\xBD( byte\""},
        {JSONValue::object({{"level", inf}}), std::nullopt},
        {JSONValue::array({std::nan("")}), std::nullopt}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(value.serialized(), expected);
    }
}

}  // namespace
}  // namespace tessarin
