#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"

namespace tessarin {

// What opening a realtime connection needs: where, the credential, and how long the upgrade may
// take.
struct RealtimeRequest {
    std::string url;
    // The whole value of the "Authorization" header of the upgrade ("Bearer " + key).
    std::string authorization;
    Clock::Duration upgradeTimeout = std::chrono::seconds(60);
};

// The narrow view a realtime session has of its WebSocket, so tests and other transports can stand
// in. A socket starts opening when it is made; messages sent meanwhile wait and go out in order.
//
// Confined to the executor it was made on.
class RealtimeSocket {
  public:
    // Called once per message, with the error that kept it from being written, if any.
    using SendCompletion = std::function<void(std::optional<std::string> error)>;

    virtual ~RealtimeSocket() = default;

    // Queues one text message; messages are written in the order they were sent.
    virtual void send(std::string text, SendCompletion completion) = 0;
    // The next message as text. Throws when the connection could not be opened, has ended, or was
    // closed. When the upgrade itself failed, this failure is reported before the failures of the
    // messages that were waiting for it, so owners see the refusal (and its HTTP status) first.
    virtual Awaitable<std::string> receive() = 0;
    // Closes with the normal-closure code; pending and later calls fail.
    virtual void close() = 0;
    // The HTTP status of the upgrade response, once one arrived.
    virtual std::optional<int> httpStatus() const = 0;
};

using RealtimeSocketFactory = std::function<std::shared_ptr<RealtimeSocket>(RealtimeRequest)>;

}  // namespace tessarin
