#pragma once

#include <memory>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "recording/realtime/realtime_socket.hpp"

namespace boost::asio::ssl {
class context;
}

namespace tessarin {

// The live RealtimeSocket: a WebSocket over TCP, with TLS for wss addresses (peers verified through
// TLSClient) and plain only to loopback hosts. Text frames; binary frames are read as UTF-8 with
// ill-formed bytes replaced; messages up to 4 MiB; the upgrade is bounded by the request's time-out
// on the given clock; closing sends the normal-closure code. The Beast machinery stays in the .cpp.
namespace WebSocketRealtimeSocket {

inline constexpr std::size_t maxMessageBytes = 4 * 1024 * 1024;
// Bytes of messages waiting to be written (about two minutes of audio as base64); a send beyond
// it fails, so a peer that stops reading cannot make the socket hold audio without bound.
inline constexpr std::size_t maxOutboxBytes = 8 * 1024 * 1024;
// How long a close handshake may take before the connection is simply dropped.
inline constexpr Clock::Duration closeTimeout = std::chrono::seconds(5);

// Opens a socket at once (the connection proceeds in the background on `executor`).
std::shared_ptr<RealtimeSocket> open(const Executor& executor, std::shared_ptr<Clock> clock,
                                     std::shared_ptr<boost::asio::ssl::context> tls,
                                     RealtimeRequest request);

// A factory for realtime sessions that opens live sockets with these settings.
RealtimeSocketFactory factory(const Executor& executor, std::shared_ptr<Clock> clock,
                              std::shared_ptr<boost::asio::ssl::context> tls);

}  // namespace WebSocketRealtimeSocket

}  // namespace tessarin
