#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"

namespace tessarin {
namespace {

TEST(APIError, ClassifiesServerAnswers) {
    // Written out rather than computed: the statuses each answer is true for.
    const std::set<int> refusals{400, 403, 404, 422, 499}, realtimeUnavailable{403, 501, 502, 503};
    for (int status :
         {200, 399, 400, 401, 403, 404, 408, 409, 422, 429, 499, 500, 501, 502, 503, 504}) {
        SCOPED_TRACE(status);
        auto error = APIError::server(status, std::nullopt, std::nullopt);
        EXPECT_EQ(error.isPermanentRefusal(), refusals.contains(status));
        EXPECT_EQ(error.isRealtimeUnavailable(), realtimeUnavailable.contains(status));
        EXPECT_FALSE(error.code());
    }
    // The server's code overrides the status either way.
    EXPECT_TRUE(APIError::server(500, "ai_route_not_allowed", {}).isRealtimeUnavailable());
    EXPECT_FALSE(APIError::server(503, "ai_provider_not_configured", {}).isRealtimeUnavailable());
    EXPECT_EQ(APIError::server(400, "ai_route_not_allowed", {}).code(), "ai_route_not_allowed");
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
    const std::pair<std::string, Parts> cases[] = {
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
    for (const auto& [body, expected] : cases) {
        const std::vector<std::uint8_t> bytes(body.begin(), body.end());
        EXPECT_EQ(APIClient::errorParts(bytes), expected) << body;
    }
}

TEST(APIError, AccessLoginDetectionLooksAtHostLocationAndPage) {
    struct Case {
        std::string url;  // where the answer came from
        int status;
        std::string header;  // Location on redirects, else Content-Type
        std::string body;
        bool expected;
    };
    const std::string api = "https://n.example/api", html = "text/html";
    const Case cases[] = {
        {"https://team.cloudflareaccess.com/x", 200, "", "", true},
        {"https://cloudflareaccess.com/", 200, "", "", true},
        {"https://notcloudflareaccess.com/", 200, "", "", false},
        {api, 302, "https://t.cloudflareaccess.com/login", "", true},
        {api, 302, "/cdn-cgi/access/login/n.example?redirect_url=%2F", "", true},
        {api, 300, "/cdn-cgi/access/login", "", true},
        {api, 399, "https://t.cloudflareaccess.com/login", "", true},
        {api, 302, "https://n.example/b", "", false},
        {api, 400, "/cdn-cgi/access/login", "", false},  // not a redirect
        {api, 200, "/cdn-cgi/access/login", "", false},  // not a Location on a success
        {api, 200, html, "<a href='https://x.CloudflareAccess.com'>", true},
        {api, 401, html, "<form action=\"/CDN-CGI/ACCESS/login\">", true},
        {api, 200, "application/json", "{\"u\":\"cloudflareaccess.com\"}", false},
        // The marker ends at the last byte scanned, then one byte past it.
        {api, 200, html, std::string(65536 - 16, 'x') + "/cdn-cgi/access/", true},
        {api, 200, html, std::string(65536 - 15, 'x') + "/cdn-cgi/access/", false},
        {api, 200, html, "\xff\xfe/cdn-cgi/access/\xc3", true},  // invalid UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + std::to_string(c.status) + " " + c.header);
        const bool redirect = c.status / 100 == 3 || c.header.starts_with("/");
        HTTPResponse response{
            c.status, *URL::parse(c.url), {{redirect ? "Location" : "Content-Type", c.header}}};
        EXPECT_EQ(APIClient::isAccessLogin(std::vector<std::uint8_t>(c.body.begin(), c.body.end()),
                                           response),
                  c.expected);
    }
}

}  // namespace
}  // namespace tessarin
