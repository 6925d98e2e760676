#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/api/random.hpp"
#include "core/http/url.hpp"
#include "core/text/base64.hpp"
#include "core/text/base64_url.hpp"

namespace tessarin {
namespace {

TEST(URLTyped, AcceptsHTTPSAnywhereAndHTTPOnlyOnLoopback) {
    const std::pair<const char*, const char*> cases[] = {
        // text, URL or nullptr: refused
        {"  notara.example \n", "https://notara.example"},
        {"HTTPS://Notara.example/app", "https://Notara.example/app"},
        {"http://localhost", "http://localhost"},
        {"http://localhost:3000/x", "http://localhost:3000/x"},
        {"http://dev.localhost:8080", "http://dev.localhost:8080"},
        {"http://127.0.0.1:9", "http://127.0.0.1:9"},
        {"http://[::1]:9", "http://[::1]:9"},
        {"http://LocalHost", "http://LocalHost"},
        {"http://127.0.0.2", nullptr},
        {"http://192.168.1.10", nullptr},
        {"http://10.0.0.1:3000", nullptr},
        {"http://localhost.example.com", nullptr},
        {"http://notlocalhost", nullptr},
        {"http://notara.example", nullptr},
        {"ftp://notara.example", nullptr},
        {"https://", nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {"https://exa mple.com", nullptr},
        {"notara.example:443x", nullptr},
        // Encoded names are not decoded into other names.
        {"http://evil.example%00.localhost", nullptr},
        {"https://a%2Eexample", nullptr},
    };
    for (const auto& [text, expected] : cases) {
        auto url = URL::typed(text);
        EXPECT_EQ(url ? std::optional(url->text()) : std::nullopt,
                  expected ? std::optional<std::string>(expected) : std::nullopt)
            << text;
    }
}

TEST(URLTyped, RealtimeSchemesUseTheSameRule) {
    EXPECT_TRUE(URL::typed("wss://rt.example/v1", "wss", "ws"));
    EXPECT_TRUE(URL::typed("ws://localhost:9/v1", "wss", "ws"));
    EXPECT_FALSE(URL::typed("ws://rt.example/v1", "wss", "ws"));
    EXPECT_FALSE(URL::typed("https://rt.example/v1", "wss", "ws"));
    EXPECT_EQ(URL::typed("rt.example", "wss", "ws")->text(), "wss://rt.example");
}

TEST(URL, PartsPathsAndQueries) {
    auto url = *URL::parse("https://[::1]:8443/base?q=1#f");
    EXPECT_EQ(url.host(), "::1");
    EXPECT_EQ(URL::parse("https://a%0D%0Ab/")->host(), "");
    EXPECT_EQ(url.port(), 8443);
    EXPECT_EQ(url.target(), "/base?q=1");
    for (const auto& [text, port] : {std::pair{"http://h", 80},
                                     {"ws://h", 80},
                                     {"https://h", 443},
                                     {"wss://h", 443},
                                     {"ftp://h", 0},
                                     {"https://h:", 443}}) {
        EXPECT_EQ(URL::parse(text)->port(), port) << text;
    }
    EXPECT_EQ(URL::parse("https://h")->target(), "/");
    EXPECT_EQ(url.appendingPath("api/v1/me").text(), "https://[::1]:8443/base/api/v1/me");
    EXPECT_EQ(URL::parse("https://h/")->appendingPath("//a").text(), "https://h/a");
    EXPECT_EQ(URL::parse("https://h")
                  ->appendingPath("a")
                  .withQueryItems({{"hours", "1.5"}, {"x", "a b&c"}, {"k[]", "+"}})
                  .text(),
              "https://h/a?hours=1.5&x=a%20b%26c&k%5B%5D=%2B");
    EXPECT_EQ(URL::escapePathSegment("a/b c%d?é"), "a%2Fb%20c%25d%3F%C3%A9");
    EXPECT_EQ(URL::escapePathSegment("safe-._~!$&'()*+,;=:@"), "safe-._~!$&'()*+,;=:@");
}

TEST(Base64URL, IsUnpaddedURLSafeBase64) {
    auto encode = [](std::initializer_list<std::uint8_t> bytes) {
        std::vector<std::uint8_t> data(bytes);
        return Base64URL::encode(data);
    };
    EXPECT_EQ(encode({}), "");
    EXPECT_EQ(encode({'f'}), "Zg");
    EXPECT_EQ(encode({'f', 'o'}), "Zm8");
    EXPECT_EQ(encode({'f', 'o', 'o'}), "Zm9v");
    EXPECT_EQ(encode({0xfb, 0xff, 0xbf}), "-_-_");
    // Plain Base64 reads back every length, with two, one or no padding characters.
    const std::vector<std::uint8_t> bytes{0xfb, 0xff, 0xbf, 0x00, 0x41};
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.begin() + n);
        EXPECT_EQ(Base64::decode(Base64::encode(data)), data) << n;
    }
    EXPECT_EQ(Base64::decode("Zm8"), std::nullopt);
    EXPECT_EQ(Base64::decode("Zm9v!A=="), std::nullopt);
}

TEST(Random, TokensHaveTheirLengthAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string token = Random::token(12);
        EXPECT_EQ(token.size(), 16u);
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(Random::bytes(3000000).size(), 3000000u);
}

}  // namespace
}  // namespace tessarin
