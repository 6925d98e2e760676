#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "core/async/manual_clock.hpp"
#include "core/net/tls_client.hpp"
#include "core/net/web_socket_realtime_socket.hpp"
#include "support/io_driver.hpp"
#include "support/realtime_test_server.hpp"
#include "support/test_certificates.hpp"

namespace tessarin::test {

using namespace std::chrono_literals;

// One io_context carrying both the code under test and the loopback service, with a manual clock
// for every wait.
struct RealtimeHarness {
    ~RealtimeHarness() { release(std::move(made)); }

    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    RealtimeTestServer server{io};
    // What the test made, released on the executor as the helper releases it: a task cancelled
    // from outside its executor can end before its cancellation is delivered.
    std::vector<std::shared_ptr<void>> made;

    template <class T>
    std::shared_ptr<T> keep(std::shared_ptr<T> object) {
        made.push_back(object);
        return object;
    }
    template <class T>
    void release(T&& object) {
        boost::asio::post(io, [released = std::move(object)] {});
        clock->runReady();
    }

    // Live sockets that trust the test authority (or only the system's).
    RealtimeSocketFactory liveSockets(bool trustTestAuthority = true) {
        auto open = WebSocketRealtimeSocket::factory(
            io.get_executor(), clock,
            TLSClient::makeContext(trustTestAuthority ? std::optional(TestCertificates::authority())
                                                      : std::nullopt));
        return [this, open](RealtimeRequest request) { return keep(open(std::move(request))); };
    }

    bool runUntil(const std::function<bool()>& done) { return test::runUntil(io, done); }
    // Moves virtual time in steps shorter than the sockets' ping interval, letting the real I/O
    // that the wake-ups caused happen after each, as it would while real time passes.
    void advance(Clock::Duration duration) {
        for (Clock::Duration step; duration > Clock::Duration::zero(); duration -= step) {
            step = std::min<Clock::Duration>(duration, 5s);
            clock->advance(step);
            settle(io, 2ms);
        }
    }
};

// The service's messages about an item.
inline std::string itemMessage(const std::string& type, const std::string& item,
                               const std::string& more = "") {
    return R"({"type":")" + type + R"(","item_id":")" + item + "\"" + more + "}";
}
inline std::string transcription(const std::string& what, const std::string& item,
                                 const std::string& more = "") {
    return itemMessage("conversation.item.input_audio_transcription." + what, item, more);
}
inline std::string completed(const std::string& item, const std::string& text) {
    return transcription("completed", item, R"(,"transcript":")" + text + "\"");
}

// Distinct, recognisable PCM bytes.
inline std::vector<std::uint8_t> patternPCM(std::size_t bytes, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> pcm(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        pcm[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return pcm;
}

}  // namespace tessarin::test
