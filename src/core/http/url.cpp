#include "core/http/url.hpp"

#include <algorithm>
#include <locale>

#include <boost/algorithm/string/case_conv.hpp>

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/url.hpp>

#include "core/text/unicode_text.hpp"

namespace tessarin {

namespace urls = boost::urls;

namespace {

std::string lowercased(std::string_view text) {
    return boost::algorithm::to_lower_copy(std::string(text), std::locale::classic());
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

urls::url_view view(const std::string& text) {
    // Every URL was parsed when it was made, so this cannot fail.
    return urls::parse_uri_reference(text).value();
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    auto parsed = urls::parse_uri_reference(text);
    if (!parsed) {
        return std::nullopt;
    }
    return URL(std::string(parsed->buffer()));
}

std::optional<URL> URL::typed(std::string_view text, std::string_view secureScheme,
                              std::string_view loopbackScheme) {
    std::string candidate(UnicodeText::trimWhitespace(text));
    if (candidate.find("://") == std::string::npos) {
        candidate = std::string(secureScheme) + "://" + candidate;
    }
    auto parsed = urls::parse_uri(candidate);
    if (!parsed) {
        return std::nullopt;
    }
    urls::url url(*parsed);
    const std::string scheme = lowercased(url.scheme());
    if (scheme != secureScheme && scheme != loopbackScheme) {
        return std::nullopt;
    }
    url.set_scheme(scheme);
    URL result(std::string(url.buffer()));
    const std::string host = result.host();
    if (host.empty()) {
        return std::nullopt;
    }
    if (scheme == loopbackScheme && scheme != secureScheme && !isLoopbackHost(host)) {
        return std::nullopt;
    }
    return result;
}

bool URL::isLoopbackHost(std::string_view host) {
    const std::string lower = lowercased(host);
    return lower == "localhost" || lower == "127.0.0.1" || lower == "::1" ||
           endsWith(lower, ".localhost");
}

std::string URL::scheme() const {
    auto url = view(text_);
    return url.has_scheme() ? lowercased(url.scheme()) : std::string();
}

std::string URL::host() const {
    auto url = view(text_);
    const std::string_view host = url.encoded_host_address();
    if (!url.has_authority() || host.find('%') != std::string_view::npos) {
        return {};
    }
    return std::string(host);
}

unsigned short URL::port() const {
    auto url = view(text_);
    if (url.has_port() && !url.port().empty()) {
        return url.port_number();
    }
    const std::string scheme = this->scheme();
    if (scheme == "http" || scheme == "ws") {
        return 80;
    }
    if (scheme == "https" || scheme == "wss") {
        return 443;
    }
    return 0;
}

std::string URL::target() const {
    auto url = view(text_);
    const auto path = url.encoded_path();
    std::string target = path.empty() ? std::string(1, '/') : std::string(path);
    if (url.has_query()) {
        target += "?";
        target += url.encoded_query();
    }
    return target;
}

URL URL::appendingPath(std::string_view encodedPath) const {
    urls::url url(view(text_));
    url.remove_query();
    url.remove_fragment();
    std::string path(url.encoded_path());
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    while (!encodedPath.empty() && encodedPath.front() == '/') {
        encodedPath.remove_prefix(1);
    }
    path += encodedPath;
    url.set_encoded_path(path);
    return URL(std::string(url.buffer()));
}

std::string URL::escapePathSegment(std::string_view text) {
    return urls::encode(text, urls::pchars);
}

URL URL::withQueryItems(const std::vector<std::pair<std::string, std::string>>& items) const {
    urls::url url(view(text_));
    url.remove_query();
    for (const auto& [name, value] : items) {
        url.params().append({name, value});
    }
    return URL(std::string(url.buffer()));
}

std::optional<URL> URL::resolving(const URL& reference) const {
    urls::url out;
    auto resolved = urls::resolve(view(text_), view(reference.text_), out);
    if (!resolved) {
        return std::nullopt;
    }
    return URL(std::string(out.buffer()));
}

}  // namespace tessarin
