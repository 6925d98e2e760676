#pragma once

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

#include "support/loopback_listener.hpp"

namespace tessarin::test {

// A scriptable HTTP/1.1 server on a loopback address (plain, or TLS with the test certificates)
// that runs on a thread of its own. Each request takes the next queued reply, or else the
// handler's; every request is recorded with the exact bytes that arrived for it.
class LoopbackHTTPServer {
  public:
    using Security = LoopbackSecurity;

    struct Request {
        std::string method, target;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        std::string raw;  // head and body exactly as received

        std::optional<std::string> header(std::string_view name) const;
    };

    struct Reply {
        enum class Action {
            answer,  // status, headers, Content-Length and body; the connection stays open
            early,   // answer once the request head has arrived, then read nothing more
            hang,    // read the request, never answer, keep the connection open
            raw,     // send `body` verbatim as the whole answer (even none), then close
        };

        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers{};
        std::string body{};
        Action action = Action::answer;

        static Reply json(int status, std::string body);
        static Reply with(Action action, std::string body = {});
    };

    using Handler = std::function<Reply(const Request&)>;

    explicit LoopbackHTTPServer(Security security = Security::plain,
                                const std::string& address = "127.0.0.1");
    ~LoopbackHTTPServer();
    LoopbackHTTPServer(const LoopbackHTTPServer&) = delete;
    LoopbackHTTPServer& operator=(const LoopbackHTTPServer&) = delete;

    void enqueue(Reply reply);
    // Answers requests once the queue is empty; without one they get a 404.
    void setHandler(Handler handler);
    // From now on reads and writes at most `piece` bytes at a time and waits `pause` (real time)
    // after each: a slow network.
    void pace(std::size_t piece, std::chrono::milliseconds pause);

    unsigned short port() const { return port_; }
    // "http://<address>:port" or "https://localhost:port".
    std::string baseURL() const { return base_; }

    std::vector<Request> requests() const;
    // Bytes read from and written to every connection so far.
    std::size_t bytesMoved() const;
    // Connections accepted (over TLS: whose handshake succeeded).
    std::size_t connectionsAccepted() const;
    // Waits (real time) until the server has closed every connection it accepted.
    bool waitForClosedConnections(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  private:
    struct State;
    std::string base_;
    unsigned short port_ = 0;
    std::shared_ptr<State> state_;
};

}  // namespace tessarin::test
