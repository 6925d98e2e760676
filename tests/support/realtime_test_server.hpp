#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/json/json_value.hpp"
#include "support/loopback_listener.hpp"

namespace tessarin::test {

// A scriptable stand-in for the realtime transcription service: a Beast WebSocket server on a
// loopback port (plain, or TLS with the test certificates), running on the test's io_context. It
// accepts every upgrade, records every message, and answers as the test says. (Refused, stalled and
// TLS upgrades: LoopbackHTTPServer.)
class RealtimeTestServer {
  public:
    // One accepted client connection, as the server saw it.
    class Connection {
      public:
        virtual ~Connection() = default;
        std::string authorization;
        std::vector<std::string> messages;  // every message received, in order
        std::optional<int> closeCode;       // the code of the client's close frame
        bool ended = false;                 // the connection is gone (either side)

        std::vector<JSONValue> messagesOfType(std::string_view type) const;
        // The decoded audio of every "input_audio_buffer.append" received, concatenated.
        std::vector<std::uint8_t> appendedAudio() const;

        virtual void send(std::string text) = 0;
        // Ends the TCP connection at once, without a close frame.
        virtual void drop() = 0;
        virtual void closeNormally() = 0;
        // Reads, answers (not even pings) and sends nothing more, but keeps the connection open.
        virtual void goSilent() = 0;
    };

    struct Script {
        bool confirm = true;  // answer "session.update" with "session.updated"
        // Answer the nth "input_audio_buffer.commit" of a connection with
        // "input_audio_buffer.committed" for itemID(n).
        bool acknowledgeCommits = false;
        // Called with every message received, after it is recorded and before the answers above.
        std::function<void(Connection&, const std::string& text)> onMessage;
    };
    using Security = LoopbackSecurity;

    explicit RealtimeTestServer(boost::asio::io_context& io, Security security = Security::plain);
    ~RealtimeTestServer();
    RealtimeTestServer(const RealtimeTestServer&) = delete;
    RealtimeTestServer& operator=(const RealtimeTestServer&) = delete;

    Script script;

    // ws://127.0.0.1:port/v1/realtime?intent=transcription (wss:// for TLS)
    std::string url() const;
    std::size_t connectionCount() const;
    Connection& connection(std::size_t index) const;
    Connection& lastConnection() const;

    static std::string itemID(std::size_t number) { return "item_" + std::to_string(number); }

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tessarin::test
