#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"

namespace tessarin {
namespace {

TEST(APIError, ClassifiesServerAnswers) {
    struct Case {
        int status;
        std::optional<std::string> code;
        bool permanent;
        bool realtimeUnavailable;
    };
    const Case cases[] = {
        {400, std::nullopt, true, false},
        {401, std::nullopt, false, false},
        {403, std::nullopt, true, true},
        {404, std::nullopt, true, false},
        {408, std::nullopt, false, false},
        {409, std::nullopt, false, false},
        {422, std::nullopt, true, false},
        {429, std::nullopt, false, false},
        {499, std::nullopt, true, false},
        {500, std::nullopt, false, false},
        {501, std::nullopt, false, true},
        {502, std::nullopt, false, true},
        {503, std::nullopt, false, true},
        {504, std::nullopt, false, false},
        {400, "ai_route_not_allowed", true, true},
        {503, "ai_provider_not_configured", false, false},
        {403, "ai_provider_not_configured", true, false},
        {500, "ai_route_not_allowed", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.code.value_or("-"));
        auto error = APIError::server(c.status, c.code, std::nullopt);
        EXPECT_EQ(error.isPermanentRefusal(), c.permanent);
        EXPECT_EQ(error.isRealtimeUnavailable(), c.realtimeUnavailable);
        EXPECT_EQ(error.code(), c.code);
    }
    for (const auto& other :
         {APIError::decoding("Me"), APIError::signedOut(), APIError::accessLogin()}) {
        EXPECT_FALSE(other.isPermanentRefusal());
        EXPECT_FALSE(other.isRealtimeUnavailable());
        EXPECT_FALSE(other.code());
        EXPECT_FALSE(other.status());
    }
}

TEST(APIError, DescriptionsAreTheUsersTexts) {
    EXPECT_STREQ(APIError::server(502, std::nullopt, std::nullopt).what(),
                 "Notara answered HTTP 502.");
    EXPECT_STREQ(APIError::server(400, "x", "Bad meeting").what(), "Bad meeting");
    EXPECT_STREQ(APIError::decoding("MeetingList").what(),
                 "Notara sent something unexpected (MeetingList).");
    EXPECT_STREQ(APIError::signedOut().what(), "You're signed out. Sign in again.");
    EXPECT_STREQ(APIError::accessLogin().what(),
                 "Gateway requires Sign in with Tessarin. Its Cloudflare Access login stopped the "
                 "request, so an access token alone can't reach Notara.");
}

TEST(APIError, ErrorPartsReadTheErrorShapes) {
    using Parts = APIClient::ErrorParts;
    struct Case {
        const char* body;
        Parts expected;
    };
    const Case cases[] = {
        {R"({"error":"ai_route_not_allowed"})", {"ai_route_not_allowed", "ai_route_not_allowed"}},
        {R"({"error":"quota","message":"Too many"})", {"quota", "Too many"}},
        {R"({"error":{"code":"c","message":"m"},"message":"top"})", {"c", "m"}},
        {R"({"error":{"code":5}})", {std::nullopt, std::nullopt}},
        {R"({"error":7,"message":"top"})", {std::nullopt, "top"}},
        {R"({"message":"only"})", {std::nullopt, "only"}},
        {R"(["error"])", {}},
        {"<html>", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string body = c.body;
        EXPECT_EQ(APIClient::errorParts(
                      std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size())),
                  c.expected);
    }
}

TEST(APIError, AccessLoginDetectionLooksAtHostLocationAndPage) {
    auto bytes = [](const std::string& text) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    struct Case {
        const char* name;
        std::string url;
        int status;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        bool expected;
    };
    const std::string big(70000, 'x');
    const Case cases[] = {
        {"final URL on the login host", "https://team.cloudflareaccess.com/x", 200, {}, "", true},
        {"final URL on the bare login domain", "https://cloudflareaccess.com/", 200, {}, "", true},
        {"look-alike host", "https://notcloudflareaccess.com/", 200, {}, "", false},
        {"redirect to the login host",
         "https://n.example/api",
         302,
         {{"Location", "https://t.cloudflareaccess.com/login"}},
         "",
         true},
        {"redirect elsewhere",
         "https://n.example/api",
         302,
         {{"Location", "https://n.example/b"}},
         "",
         false},
        {"Location on a success is ignored",
         "https://n.example/api",
         200,
         {{"Location", "/cdn-cgi/access/login"}},
         "",
         false},
        {"page mentioning the domain",
         "https://n.example/api",
         200,
         {{"Content-Type", "text/html"}},
         "<a href='https://x.CloudflareAccess.com'>",
         true},
        {"JSON mentioning the domain",
         "https://n.example/api",
         200,
         {{"Content-Type", "application/json"}},
         "{\"u\":\"cloudflareaccess.com\"}",
         false},
        {"mention past the first 64 KiB",
         "https://n.example/api",
         200,
         {{"Content-Type", "text/html"}},
         big + "/cdn-cgi/access/",
         false},
        {"invalid UTF-8 around the mention",
         "https://n.example/api",
         200,
         {{"Content-Type", "text/html"}},
         "\xff\xfe/cdn-cgi/access/\xc3",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPResponse response{c.status, *URL::parse(c.url), c.headers};
        EXPECT_EQ(APIClient::isAccessLogin(bytes(c.body), response), c.expected);
    }
}

}  // namespace
}  // namespace tessarin
