#include <cmath>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "recording/server/helper_codec.hpp"

namespace tessarin {
namespace {

using Failure = HelperCodec::DecodeFailure;

TEST(HelperCodecDecode, LinesBecomeRequestsOrTheRightFailure) {
    struct Case {
        const char* line;
        HelperCodec::DecodeResult expected;
    };
    const Case cases[] = {
        {R"({"id":1,"cmd":"hello"})", HelperRequest{1, "hello", JSONValue::Object{}}},
        {R"({"id":"a","cmd":"x","params":[1]})", HelperRequest{"a", "x", JSONValue::Object{}}},
        {R"({"id":"a","cmd":"x","params":{"k":"v"},"extra":1})",
         HelperRequest{"a", "x", JSONValue::object({{"k", "v"}})}},
        {R"({"id":1.5,"cmd":"hello"})",
         Failure::badRequest(1.5, "id must be a number or a string")},
        {R"({"id":7.0,"cmd":"hello"})",
         Failure::badRequest(7.0, "id must be a number or a string")},
        {R"({"id":true,"cmd":""})", Failure::badRequest(true, "Missing cmd")},
        {R"({"id":2,"cmd":5})", Failure::badRequest(2, "Missing cmd")},
        {R"({"cmd":"hello"})", Failure::badRequest(nullptr, "id must be a number or a string")},
        {R"({"id":null,"cmd":"hello"})",
         Failure::badRequest(nullptr, "id must be a number or a string")},
        {R"({"id":[1],"cmd":"hello"})",
         Failure::badRequest(JSONValue::array({1}), "id must be a number or a string")},
        {"[1,2]", Failure::notJSON()},
        {R"("text")", Failure::notJSON()},
        {"42", Failure::notJSON()},
        {"not json", Failure::notJSON()},
        {"{\"id\":1,\"cmd\":\"h\xFF\"}", Failure::notJSON()},
        {R"({"id":1,"cmd":"hello"} trailing)", Failure::notJSON()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HelperCodec::decode(c.line), c.expected) << c.line;
    }
}

// Level lines carry both levels next to the event name; a line that cannot be written is "{}".
TEST(HelperCodecEncode, LevelLinesHaveTheirExactShape) {
    const std::pair<JSONValue::Object, std::string> cases[] = {
        {{{"mic", 0.125}, {"system", 0.5}}, R"({"event":"levels","mic":0.125,"system":0.5})"},
        {{{"event", "overwritten"}, {"mic", 0.0}, {"system", 1.0}},
         R"({"event":"levels","mic":0,"system":1})"},
        {{{"mic", std::nan("")}, {"system", 0.5}}, "{}"},
    };
    for (const auto& [fields, line] : cases) {
        EXPECT_EQ(HelperCodec::event("levels", fields), line);
    }
}

}  // namespace
}  // namespace tessarin
