#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin::test {

// A scriptable HTTP/1.1 server on 127.0.0.1 (plain, or TLS with the test certificates) that runs
// on a thread of its own. Each request takes the next queued reply, or else the handler's; every
// request is recorded with the exact bytes that arrived for it.
class LoopbackHTTPServer {
  public:
    enum class Security {
        plain,
        tls,           // certificate signed by TestCertificates::authority()
        untrustedTLS,  // certificate signed by an authority nobody trusts
    };

    struct Request {
        std::string method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        std::string raw;             // head and body exactly as received
        std::size_t connection = 0;  // 1 for the first connection accepted, 2 for the next …

        std::optional<std::string> header(std::string_view name) const;
    };

    struct Reply {
        enum class Action {
            answer,             // status, headers, Content-Length and body
            answerThenDrop,     // answer as keep-alive, then close the connection unannounced
            hang,               // read the request, never answer, keep the connection open
            closeBeforeAnswer,  // close the connection without a byte of answer
            closeMidBody,       // announce the whole body, send its first half, close
            trickle,            // announce the body, then send one byte per `trickleInterval`
            raw,                // send `body` verbatim as the whole answer, then close
        };

        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        Action action = Action::answer;
        // Real time before the answer starts.
        std::chrono::milliseconds delay{0};
        std::chrono::milliseconds trickleInterval{20};
        // Close the connection after answering instead of keeping it alive.
        bool closeAfter = false;

        static Reply json(int status, std::string body);
        static Reply with(Action action);
    };

    using Handler = std::function<Reply(const Request&)>;

    explicit LoopbackHTTPServer(Security security = Security::plain);
    ~LoopbackHTTPServer();
    LoopbackHTTPServer(const LoopbackHTTPServer&) = delete;
    LoopbackHTTPServer& operator=(const LoopbackHTTPServer&) = delete;

    void enqueue(Reply reply);
    // Answers requests once the queue is empty; without one they get a 404.
    void setHandler(Handler handler);

    unsigned short port() const { return port_; }
    // "http://127.0.0.1:port" or "https://localhost:port" (the host is replaceable).
    std::string baseURL(std::string_view host = {}) const;

    std::vector<Request> requests() const;
    std::size_t connectionsAccepted() const;
    // Waits (real time) until `count` requests have arrived.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Waits (real time) until the server has closed every connection it accepted.
    bool waitForClosedConnections(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  private:
    struct State;
    Security security_;
    unsigned short port_ = 0;
    std::shared_ptr<State> state_;
};

}  // namespace tessarin::test
