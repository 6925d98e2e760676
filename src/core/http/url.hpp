#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin {

// A parsed URL reference (absolute, or relative such as "m/abc"), kept as its text. Parsing and
// editing go through Boost.URL inside url.cpp, so this header stays light.
class URL {
  public:
    // The empty reference.
    URL() = default;

    // Nothing when the text is not a valid URI reference.
    static std::optional<URL> parse(std::string_view text);

    // The parser for a user-supplied base address. The text is trimmed; without "://" the secure
    // scheme is put in front. The lower-cased scheme must be `secureScheme` (any host) or
    // `loopbackScheme` (only for localhost, *.localhost, 127.0.0.1 and ::1), and the host must be
    // non-empty. With the defaults this is the web server's rule (https, or http on loopback);
    // the realtime endpoint uses it with "wss" and "ws".
    static std::optional<URL> typed(std::string_view text, std::string_view secureScheme = "https",
                                    std::string_view loopbackScheme = "http");

    // Whether a host (as URL::host gives it) is one the loopback scheme is allowed for.
    static bool isLoopbackHost(std::string_view host);

    const std::string& text() const { return text_; }

    // Lower-cased scheme; empty for a relative reference.
    std::string scheme() const;
    // The host as written, without the brackets of an IPv6 literal; empty when there is none, and
    // when it is percent-encoded: decoding could hide another name behind a trusted one
    // ("evil.example%00.localhost") or put line breaks into a Host header.
    std::string host() const;
    // The port as written, or the scheme's default (80 for http/ws, 443 for https/wss, else 0).
    unsigned short port() const;
    // Path plus query, as sent in an HTTP request line ("/" when the path is empty).
    std::string target() const;
    bool hasScheme() const { return !scheme().empty(); }

    // This URL with a relative, already percent-encoded path appended after its own path (one "/"
    // between them). Query and fragment are dropped.
    URL appendingPath(std::string_view encodedPath) const;
    // The text percent-encoded with the characters allowed in a path segment; "/" is encoded too,
    // so the result can never add segments.
    static std::string escapePathSegment(std::string_view text);
    // This URL with its query replaced by the given name/value items (encoded as query items);
    // an empty list removes the query.
    URL withQueryItems(const std::vector<std::pair<std::string, std::string>>& items) const;
    // `reference` resolved against this URL as base (RFC 3986); nothing when that fails.
    std::optional<URL> resolving(const URL& reference) const;

    bool operator==(const URL&) const = default;

  private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace tessarin
