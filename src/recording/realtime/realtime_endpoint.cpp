#include "recording/realtime/realtime_endpoint.hpp"

#include "core/http/url.hpp"

namespace tessarin::RealtimeEndpoint {

std::optional<std::string> accepted(std::string_view text) {
    auto url = URL::typed(text, "wss", "ws");
    if (!url) {
        return std::nullopt;
    }
    return url->text();
}

std::string forToken(const TranscriptionToken& token) {
    if (token.url) {
        if (auto url = accepted(*token.url)) {
            return *url;
        }
    }
    return std::string(defaultURL);
}

}  // namespace tessarin::RealtimeEndpoint
