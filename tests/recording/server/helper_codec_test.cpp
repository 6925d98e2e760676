#include <cmath>
#include <string>

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

TEST(HelperCodecEncode, ResponseAndEventLinesHaveTheirExactShape) {
    EXPECT_EQ(HelperCodec::success(7, JSONValue::Object{}), R"({"id":7,"ok":true,"result":{}})");
    EXPECT_EQ(HelperCodec::failure("a", HelperError::badParams("...")),
              R"({"error":{"code":"bad_params","message":"..."},"id":"a","ok":false})");
    EXPECT_EQ(HelperCodec::event("state", {{"b", 1}, {"a", 2}}),
              R"({"a":2,"b":1,"event":"state"})");
    EXPECT_EQ(HelperCodec::event("x", {{"event", "overwritten"}}), R"({"event":"x"})");
    EXPECT_EQ(HelperCodec::event("levels", {{"mic", std::nan("")}}), "{}");
    EXPECT_EQ(HelperCodec::success(1, JSONValue::object({{"url", "https://a/b"}})),
              R"({"id":1,"ok":true,"result":{"url":"https://a/b"}})");
}

}  // namespace
}  // namespace tessarin
