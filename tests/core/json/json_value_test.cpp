#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"

namespace tessarin {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(JSONConformance, EveryCorpusDocumentIsAcceptedOrRejectedAsItSays) {
    const std::filesystem::path folder =
        std::filesystem::path(TESSARIN_TEST_DATA_DIR) / "json-test-suite" / "test_parsing";
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    int accepted = 0, rejected = 0, either = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const auto parsed = JSONValue::parse(readFile(entry.path()));
        if (name.starts_with("y_")) {
            EXPECT_TRUE(parsed.has_value()) << name;
            ++accepted;
        } else if (name.starts_with("n_")) {
            EXPECT_FALSE(parsed.has_value()) << name;
            ++rejected;
        } else {
            ++either;  // may go either way; it must only come back
        }
    }
    EXPECT_EQ(accepted, 95);
    EXPECT_EQ(rejected, 188);
    EXPECT_EQ(either, 35);
}

TEST(JSONValueParse, NumbersAreClassifiedAsTheProtocolReadsThem) {
    struct Case {
        const char* text;
        JSONValue::Kind kind;
    };
    const Case cases[] = {
        {"7", JSONValue::Kind::integer},
        {"-7", JSONValue::Kind::integer},
        {"9223372036854775807", JSONValue::Kind::integer},
        {"-9223372036854775808", JSONValue::Kind::integer},
        {"9223372036854775808", JSONValue::Kind::real},  // beyond the integer range
        {"7.5", JSONValue::Kind::real},
        {"7.0", JSONValue::Kind::real},
        {"1e2", JSONValue::Kind::real},
    };
    for (const auto& c : cases) {
        auto value = JSONValue::parse(c.text);
        ASSERT_TRUE(value) << c.text;
        EXPECT_EQ(value->kind(), c.kind) << c.text;
    }
}

TEST(JSONValueParse, NestingStopsAtTheLimitWithoutExhaustingTheStack) {
    const int limit = JSONValue::maxParseDepth;
    for (const int depth : {limit, limit + 1, 100000}) {
        const std::string text = std::string(depth, '[') + std::string(depth, ']');
        EXPECT_EQ(JSONValue::parse(text).has_value(), depth == limit) << depth;
    }
}

TEST(JSONValueParse, IllFormedUTF8AndRawNULAreNotJSON) {
    EXPECT_FALSE(JSONValue::parse("{\"a\":\"\xC3\x28\"}"));
    EXPECT_FALSE(JSONValue::parse("{\"a\":\"\xED\xA0\x80\"}"));  // an encoded surrogate
    EXPECT_FALSE(JSONValue::parse(std::string_view("{\"a\":1}\0garbage", 15)));
}

TEST(JSONValueAccessors, IntAcceptsOnlyIntegralDoublesInsideTheRange) {
    struct Case {
        JSONValue value;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {JSONValue(2), 2},
        {JSONValue(2.0), 2},
        {JSONValue(-3.0), -3},
        {JSONValue(2.5), std::nullopt},
        {JSONValue(9223372036854775808.0), std::nullopt},
        {JSONValue(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min()},
        {JSONValue(std::nan("")), std::nullopt},
        {JSONValue(std::numeric_limits<double>::infinity()), std::nullopt},
        {JSONValue("2"), std::nullopt},
        {JSONValue(true), std::nullopt},
        {JSONValue(), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.intValue(), c.expected) << c.value.serialized().value_or("?");
    }
}

TEST(JSONValueSerialize, WritesCompactSortedUTF8WithSlashesUnescaped) {
    struct Case {
        JSONValue value;
        const char* expected;
    };
    const Case cases[] = {
        {JSONValue::object({{"b", 1}, {"a", 2}, {"B", 3}}), R"({"B":3,"a":2,"b":1})"},
        {JSONValue("a/b"), R"("a/b")"},
        {JSONValue("Grüße → 日本"), "\"Grüße → 日本\""},
        {JSONValue("quote\" back\\ nl\n tab\t ctl\x01\x1F\x20\x7F"),
         "\"quote\\\" back\\\\ nl\\n tab\\t ctl\\u0001\\u001f \x7F\""},
        {JSONValue::array({1, 2.5, nullptr, false, "x"}), R"([1,2.5,null,false,"x"])"},
        {JSONValue(0.123), "0.123"},
        {JSONValue(std::int64_t{-9223372036854775807 - 1}), "-9223372036854775808"},
        {JSONValue("bad \xC3\x28 byte"), "\"bad \xEF\xBF\xBD( byte\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.serialized(), std::optional<std::string>(c.expected));
    }
}

TEST(JSONValueSerialize, NonFiniteNumbersCannotBeWritten) {
    EXPECT_FALSE(JSONValue(std::nan("")).serialized());
    EXPECT_FALSE(
        JSONValue::object({{"level", std::numeric_limits<double>::infinity()}}).serialized());
}

TEST(JSONValueRoundTrip, ParsedValuesWriteBackUnchanged) {
    for (const char* text : {R"({"a":[1,-2,3.25,"x",{"y":null}],"b":true})", R"([])", R"("é")"}) {
        auto value = JSONValue::parse(text);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->serialized(), std::optional<std::string>(text));
    }
}

}  // namespace
}  // namespace tessarin
