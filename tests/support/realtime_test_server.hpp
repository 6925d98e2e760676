#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/json/json_value.hpp"
#include "support/io_driver.hpp"

namespace tessarin::test {

// A scriptable stand-in for the realtime transcription service: a Beast WebSocket server on a
// loopback port (plain, or TLS with the test certificates), running on the test's io_context. It
// records every upgrade and every message it receives, and answers as each test says: confirms the
// session or not, acknowledges commits, sends deltas and completions in any order, error events,
// refuses upgrades with a status, stalls them, drops connections or goes silent on them.
class RealtimeTestServer {
  public:
    enum class Security { plain, tls, untrustedTLS };

    // One client connection, as the server saw it.
    class Connection {
      public:
        virtual ~Connection() = default;
        std::string authorization;
        std::string target;
        std::vector<std::string> messages;  // every message received, in order
        std::optional<int> closeCode;       // the code of the client's close frame
        bool ended = false;                 // the connection is gone (either side)

        std::vector<JSONValue> messagesOfType(std::string_view type) const;
        // The decoded audio of every "input_audio_buffer.append" received, concatenated.
        std::vector<std::uint8_t> appendedAudio() const;
        // Types of the messages received, in order.
        std::vector<std::string> types() const;

        virtual void sendText(std::string text) = 0;
        virtual void sendBinary(std::string bytes) = 0;
        void sendJSON(const JSONValue& message);
        // Ends the TCP connection at once, without a close frame.
        virtual void drop() = 0;
        // Starts a normal close handshake from the server's side.
        virtual void closeNormally() = 0;
        // From now on reads nothing, answers nothing (not even pings) and sends nothing, but keeps
        // the connection open: a peer whose network vanished.
        virtual void goSilent() = 0;
    };

    struct Script {
        // Answer upgrades with this HTTP status instead of accepting them.
        std::optional<int> refuseStatus;
        // Accept TCP but never answer the upgrade.
        bool stallUpgrades = false;
        // Answer "session.update" with "session.updated".
        bool confirm = true;
        // Answer each "input_audio_buffer.commit" with "input_audio_buffer.committed" naming
        // "item_1", "item_2" … in the order of the commits on that connection.
        bool acknowledgeCommits = false;
        // Called after each message is recorded (and after the automatic answers).
        std::function<void(Connection&, const std::string& text)> onMessage;
    };

    RealtimeTestServer(boost::asio::io_context& io, Security security = Security::plain);
    ~RealtimeTestServer();
    RealtimeTestServer(const RealtimeTestServer&) = delete;
    RealtimeTestServer& operator=(const RealtimeTestServer&) = delete;

    Script script;

    // ws://127.0.0.1:port/v1/realtime?intent=transcription (wss:// for TLS).
    std::string url() const;
    std::uint16_t port() const;
    // Upgrade requests seen, accepted or not.
    std::size_t upgradeCount() const;
    // Connections whose upgrade was accepted, in order.
    std::size_t connectionCount() const;
    Connection& connection(std::size_t index) const;
    Connection& lastConnection() const;

    // The item ID the automatic commit answer gives to the nth commit (1-based).
    static std::string itemID(std::size_t number);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tessarin::test
