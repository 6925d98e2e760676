#pragma once

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
    // Released on the executor, as the helper releases them: a task cancelled from outside its
    // executor can end before its cancellation is delivered.
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
    // Virtual time in steps shorter than the sockets' ping interval, with the real I/O that each
    // step's wake-ups caused.
    void advance(Clock::Duration duration) {
        for (Clock::Duration step; duration > Clock::Duration::zero(); duration -= step) {
            step = std::min<Clock::Duration>(duration, 5s);
            clock->advance(step);
            settle(io, 2ms);
        }
    }
};

// A message of the service about an item.
inline std::string itemMessage(const std::string& type, const std::string& item,
                               const std::string& more = "") {
    return R"({"type":")" + type + R"(","item_id":")" + item + "\"" + more + "}";
}
inline std::string completed(const std::string& item, const std::string& text) {
    return itemMessage("conversation.item.input_audio_transcription.completed", item,
                       R"(,"transcript":")" + text + "\"");
}

}  // namespace tessarin::test
