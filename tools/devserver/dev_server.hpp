#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/shared_object.hpp"
#include "devserver/web_api.hpp"

namespace tessarin {

// The stand-in's one listening port on 127.0.0.1: plain HTTP/1.1 for the web API and the control
// endpoint, and WebSocket upgrades at /v1/realtime for the realtime service. Every connection is
// bounded: request heads and bodies by size (431 and 413 beyond), WebSocket messages by size, the
// wait for a request by time, and the number of connections at once. The Beast machinery stays in
// the .cpp.
//
// Confined to its executor. The WebAPI it serves must outlive it.
class DevServer : public SharedObject<DevServer> {
  public:
    struct Limits {
        std::size_t maxHeaderBytes = 16 * 1024;
        // The helper's chunks are at most 30 s of 24 kHz audio (about 1.4 MB).
        std::size_t maxBodyBytes = 8 * 1024 * 1024;
        std::size_t maxMessageBytes = 4 * 1024 * 1024;
        std::size_t maxConnections = 256;
        // How long a client may take to send a request (and to take its answer). Longer than
        // clients keep idle connections (the helper: 30 s), so they are the ones closing them.
        Clock::Duration requestTimeout = std::chrono::seconds(75);
    };

    DevServer(Token, Executor executor, std::shared_ptr<Clock> clock, WebAPI& api, Limits limits);
    ~DevServer();

    // Listens on 127.0.0.1:`port` (0: a free port) and starts accepting; throws when it can't.
    void listen(std::uint16_t port);
    std::uint16_t port() const;
    // "http://127.0.0.1:port".
    std::string url() const;
    // Stops listening and ends every connection.
    void stop();

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace tessarin
