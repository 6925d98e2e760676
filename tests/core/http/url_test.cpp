#include <gtest/gtest.h>

#include "core/http/url.hpp"

namespace tessarin {
namespace {

std::optional<std::string> textOf(const std::optional<URL>& url) {
    return url ? std::optional(url->text()) : std::nullopt;
}

TEST(URL, TypedTakesTheSecureSchemeAnywhereAndThePlainOneOnlyOnLoopback) {
    const std::optional<std::string> refused;
    // clang-format off
    const std::tuple<const char*, bool, std::optional<std::string>> cases[] = {
        // text, under the realtime rule (wss, or ws on loopback), URL
        {"  notara.example \n", false, "https://notara.example"},
        {"HTTPS://Notara.example/app", false, "https://Notara.example/app"},
        {"http://LocalHost:3000/x", false, "http://LocalHost:3000/x"},
        {"http://dev.localhost:8080", false, "http://dev.localhost:8080"},
        {"http://127.0.0.1:9", false, "http://127.0.0.1:9"}, {"http://[::1]:9", false, "http://[::1]:9"},
        {"http://127.0.0.2", false, refused}, {"http://localhost.example.com", false, refused},
        {"http://notlocalhost", false, refused}, {"http://notara.example", false, refused},
        {"ftp://notara.example", false, refused}, {"https://", false, refused}, {"   ", false, refused},
        {"https://exa mple.com", false, refused}, {"notara.example:443x", false, refused},
        {"http://evil.example%00.localhost", false, refused}, {"https://a%2Eexample", false, refused},
        {"rt.example", true, "wss://rt.example"}, {"ws://localhost:9/v1", true, "ws://localhost:9/v1"},
        {"ws://rt.example/v1", true, refused}, {"https://rt.example/v1", true, refused}};
    // clang-format on
    for (const auto& [text, realtime, expected] : cases) {
        EXPECT_EQ(textOf(realtime ? URL::typed(text, "wss", "ws") : URL::typed(text)), expected)
            << text;
    }
}

TEST(URL, PortsHostsTargetsAndEdits) {
    // clang-format off
    const std::tuple<const char*, int, const char*, const char*> parts[] = {
        // text, port, Host header, target
        {"http://h", 80, "h", "/"}, {"ws://h:80", 80, "h", "/"}, {"https://h", 443, "h", "/"},
        {"wss://h/x", 443, "h", "/x"}, {"ftp://h", 0, "h", "/"}, {"https://h:", 443, "h", "/"},
        {"http://h:443", 443, "h:443", "/"}, {"https://[::1]:8443/b?q=1#f", 8443, "[::1]:8443", "/b?q=1"},
        {"https://a%0D%0Ab/", 443, "", "/"}};
    // clang-format on
    for (const auto& [text, port, hostHeader, target] : parts) {
        const URL url = *URL::parse(text);
        EXPECT_EQ(url.port(), port) << text;
        EXPECT_EQ(url.hostHeader(), hostHeader) << text;
        EXPECT_EQ(url.target(), target) << text;
    }
    EXPECT_EQ(URL::parse("https://[::1]:8443/base?q=1#f")->appendingPath("api/v1/me").text(),
              "https://[::1]:8443/base/api/v1/me");
    EXPECT_EQ(URL::parse("https://h/")->appendingPath("//a").text(), "https://h/a");
    EXPECT_EQ(URL::parse("https://h")
                  ->appendingPath("a")
                  .withQueryItems({{"hours", "1.5"}, {"x", "a b&c"}, {"k[]", "+"}})
                  .text(),
              "https://h/a?hours=1.5&x=a%20b%26c&k%5B%5D=%2B");
    EXPECT_EQ(URL::escapePathSegment("a/b c%d?é"), "a%2Fb%20c%25d%3F%C3%A9");
    EXPECT_EQ(URL::escapePathSegment("safe-._~!$&'()*+,;=:@"), "safe-._~!$&'()*+,;=:@");
}

}  // namespace
}  // namespace tessarin
