// A user-typed base address through URL::typed, then through the edits the client makes to it.
// Input: the address, optionally followed by a line break and a piece of text for the edits.
#include <algorithm>

#include "core/http/url.hpp"
#include "fuzz_support.hpp"

using namespace tessarin;

namespace {

// What may go into a Host header or a request line: visible ASCII, nothing that decodes to more.
bool isPlain(std::string_view text, std::string_view alsoRefused) {
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return c > ' ' && c < 0x7f && alsoRefused.find(c) == std::string_view::npos;
    });
}

void requireSendable(const URL& url, const std::string& host) {
    require(url.host() == host, "an edit keeps the host");
    const std::string target = url.target();
    require(target.starts_with('/') && isPlain(target, "#"), "the request target is plain");
}

void check(std::string_view text, std::string_view piece, std::string_view secure,
           std::string_view loopback) {
    const auto url = URL::typed(text, secure, loopback);
    if (!url) {
        return;
    }
    const std::string host = url->host();
    require(!host.empty() && isPlain(host, "%"), "a typed URL's host is plain");
    const std::string scheme = url->scheme();
    require(scheme == secure || (scheme == loopback && URL::isLoopbackHost(host)),
            "the loopback scheme only for a loopback host");
    require(URL::typed(url->text(), secure, loopback) == url, "typing a typed URL keeps it");
    require(URL::parse(url->text()) == url, "a typed URL parses as itself");
    requireSendable(*url, host);
    const std::string segment = URL::escapePathSegment(piece);
    requireSendable(url->appendingPath(segment), host);
    requireSendable(url->withQueryItems({{std::string(piece), std::string(piece)}}), host);
    if (const auto reference = URL::parse(segment)) {
        require(url->resolving(*reference).has_value(), "an escaped segment resolves");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = textOf(data, size);
    const std::size_t split = std::min(input.find('\n'), input.size());
    const std::string_view piece = input.substr(std::min(split + 1, input.size()));
    check(input.substr(0, split), piece, "https", "http");
    check(input.substr(0, split), piece, "wss", "ws");
    return 0;
}
