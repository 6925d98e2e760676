#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "core/async/clock.hpp"
#include "core/http/http_transport.hpp"

namespace tessarin {

// The live HTTPTransport: HTTP/1.1 over TCP, or TLS with peer verification (system authorities
// plus an optional extra one), SNI and host-name check. Plain HTTP goes only to loopback
// addresses. Idle keep-alive connections are reused per scheme, host and port. Each request's
// inactivity limit is measured on the injected clock.
//
// Confined to its executor: `send` must be awaited from tasks running there.
class BeastHTTPTransport final : public HTTPTransport {
  public:
    struct Options {
        // An authority to trust besides the system's (PEM), for tests and local servers.
        std::optional<std::string> extraAuthorityPEM = std::nullopt;
        // Sent as the User-Agent of every request when not empty.
        std::string userAgent = {};
        std::size_t maxBodyBytes = 16 * 1024 * 1024;
        // The most a response head may take, and so does every line or trailer section of a
        // chunked body: what the transport holds of a response apart from its body.
        std::size_t maxHeaderBytes = 64 * 1024;
        // Idle connections kept per host, and how long one may sit unused before it is dropped.
        std::size_t maxIdlePerHost = 4;
        Clock::Duration maxIdleTime = std::chrono::seconds(30);
    };

    BeastHTTPTransport(Executor executor, std::shared_ptr<Clock> clock, Options options);
    BeastHTTPTransport(Executor executor, std::shared_ptr<Clock> clock);
    ~BeastHTTPTransport() override;
    BeastHTTPTransport(const BeastHTTPTransport&) = delete;
    BeastHTTPTransport& operator=(const BeastHTTPTransport&) = delete;

    Awaitable<Result> send(HTTPRequest request) override;

    // Idle connections currently kept for reuse (all hosts).
    std::size_t idleConnections() const;

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tessarin
