#pragma once

#include <memory>
#include <string_view>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/net/realtime_socket.hpp"

namespace boost::asio::ssl {
class context;
}

namespace tessarin {

// The live RealtimeSocket: a WebSocket over TCP, with TLS for wss addresses (peers verified through
// TLSClient) and plain only when the address connected to is a loopback one. Text frames; binary
// frames are read as UTF-8 with ill-formed bytes replaced; messages up to 4 MiB; the upgrade is
// bounded by the request's time-out on the given clock; an open connection that receives nothing
// (not even the answer to its pings) for `idleLimit` is treated as dead; closing sends the
// normal-closure code. The Beast machinery stays in the .cpp.
namespace WebSocketRealtimeSocket {

inline constexpr std::size_t maxMessageBytes = 4 * 1024 * 1024;
// Bytes of messages waiting to be written (about two minutes of audio as base64); a send beyond
// it fails, so a peer that stops reading cannot make the socket hold audio without bound.
inline constexpr std::size_t maxOutboxBytes = 8 * 1024 * 1024;
// How long a close handshake may take before the connection is simply dropped.
inline constexpr Clock::Duration closeTimeout = std::chrono::seconds(5);
// A peer that vanished without closing (a half-open TCP connection) is noticed by silence: pings
// go out this often, and nothing received for the idle limit ends the connection.
inline constexpr Clock::Duration pingInterval = std::chrono::seconds(10);
inline constexpr Clock::Duration idleLimit = std::chrono::seconds(30);

// Opens a socket at once (the connection proceeds in the background on `executor`).
std::shared_ptr<RealtimeSocket> open(const Executor& executor, std::shared_ptr<Clock> clock,
                                     std::shared_ptr<boost::asio::ssl::context> tls,
                                     RealtimeRequest request);

// A factory for realtime sessions that opens live sockets with these settings.
RealtimeSocketFactory factory(const Executor& executor, std::shared_ptr<Clock> clock,
                              std::shared_ptr<boost::asio::ssl::context> tls);

}  // namespace WebSocketRealtimeSocket

}  // namespace tessarin
