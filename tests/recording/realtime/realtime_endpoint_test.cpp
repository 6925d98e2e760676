#include "recording/realtime/realtime_endpoint.hpp"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

// Which addresses the rule accepts is URL::typed's; here, what the token's address becomes.
TEST(RealtimeEndpoint, UsesTheTokensAddressOnlyWhenTheRuleAcceptsIt) {
    const std::string fallback(RealtimeEndpoint::defaultURL);
    for (const auto& [url, expected] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, fallback},
             {"  WSS://rt.example.com:8443/x \n", "wss://rt.example.com:8443/x"},
             {"ws://[::1]:9000/", "ws://[::1]:9000/"},
             {"ws://192.168.1.10/v1/realtime", fallback},
             {"https://rt.example.com/", fallback},
         }) {
        EXPECT_EQ(RealtimeEndpoint::forToken({"k", {}, std::nullopt, url}), expected)
            << url.value_or("(none)");
    }
}

}  // namespace
}  // namespace tessarin
