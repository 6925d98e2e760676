#include "recording/realtime/realtime_endpoint.hpp"

#include <algorithm>
#include <cctype>

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "core/text/unicode_text.hpp"

namespace tessarin::RealtimeEndpoint {

namespace {

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    std::string name = lowercased(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    return name == "localhost" || name == "127.0.0.1" || name == "::1" ||
           (name.size() > 10 && name.ends_with(".localhost"));
}

std::optional<std::string> accepted(std::string_view text) {
    std::string candidate(UnicodeText::trimWhitespace(text));
    if (candidate.find("://") == std::string::npos) {
        candidate = "wss://" + candidate;
    }
    auto parsed = boost::urls::parse_uri(candidate);
    if (!parsed) {
        return std::nullopt;
    }
    boost::urls::url url(*parsed);
    const std::string scheme = lowercased(url.scheme());
    if (scheme != "wss" && scheme != "ws") {
        return std::nullopt;
    }
    url.set_scheme(scheme);
    const std::string host = url.host_address();
    if (host.empty()) {
        return std::nullopt;
    }
    if (scheme == "ws" && !isLoopbackHost(host)) {
        return std::nullopt;
    }
    return std::string(url.buffer());
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
