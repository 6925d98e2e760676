#include "recording/realtime/realtime_endpoint.hpp"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(RealtimeEndpoint, HonoursOnlySecureOrLoopbackAddressesWithPlainHostNames) {
    const std::string fallback(RealtimeEndpoint::defaultURL);
    struct Case {
        std::optional<std::string> url;
        std::string expected;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, fallback},
             {"wss://rt.example.com/v1/realtime?intent=transcription",
              "wss://rt.example.com/v1/realtime?intent=transcription"},
             {"  WSS://rt.example.com:8443/x \n", "wss://rt.example.com:8443/x"},
             {"rt.example.com/v1/realtime", "wss://rt.example.com/v1/realtime"},
             {"ws://127.0.0.1:9000/v1/realtime", "ws://127.0.0.1:9000/v1/realtime"},
             {"ws://localhost:9000/", "ws://localhost:9000/"},
             {"ws://dev.localhost/", "ws://dev.localhost/"},
             {"ws://[::1]:9000/", "ws://[::1]:9000/"},
             {"ws://192.168.1.10/v1/realtime", fallback},
             {"ws://localhost.example.com/", fallback},
             {"ws://evil.example%00.localhost/", fallback},
             {"ws://%6cocalhost/", fallback},
             {"wss://rt.example%2ecom/", fallback},
             {"https://rt.example.com/", fallback},
             {"wss://", fallback},
             {"wss://exa mple.com/", fallback},
         }) {
        TranscriptionToken token{"k", {}, std::nullopt, c.url};
        EXPECT_EQ(RealtimeEndpoint::forToken(token), c.expected) << c.url.value_or("(none)");
    }
}

}  // namespace
}  // namespace tessarin
