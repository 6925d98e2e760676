#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/async/manual_clock.hpp"
#include "core/net/tls_client.hpp"
#include "recording/realtime/web_socket_realtime_socket.hpp"
#include "support/realtime_test_server.hpp"
#include "support/test_certificates.hpp"

namespace tessarin::test {

// One io_context carrying both the code under test and the loopback service, with a manual clock
// for every wait.
struct RealtimeHarness {
    explicit RealtimeHarness(
        RealtimeTestServer::Security security = RealtimeTestServer::Security::plain)
        : server(io, security) {}

    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    RealtimeTestServer server;

    RealtimeSocketFactory liveSockets() {
        return WebSocketRealtimeSocket::factory(
            io.get_executor(), clock, TLSClient::makeContext(TestCertificates::authority()));
    }

    bool runUntil(const std::function<bool()>& done) { return test::runUntil(io, done); }
    // Moves virtual time, then lets real I/O that the wake-ups caused happen.
    void advance(double seconds) {
        clock->advance(tessarin::seconds(seconds));
        settle(io, std::chrono::milliseconds(5));
    }
};

// Distinct, recognisable PCM bytes: the low byte counts up from `seed`.
inline std::vector<std::uint8_t> patternPCM(std::size_t bytes, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> pcm(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        pcm[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return pcm;
}

}  // namespace tessarin::test
