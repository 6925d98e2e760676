#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace boost::asio::ssl {
class context;
template <class Stream>
class stream;
}  // namespace boost::asio::ssl

namespace tessarin::test {

enum class LoopbackSecurity {
    plain,
    tls,           // certificate signed by TestCertificates::authority()
    otherNameTLS,  // signed by that authority too, but for another host name
    untrustedTLS,  // certificate signed by an authority nobody trusts
};

// What the loopback servers share: a port on a loopback address, and an accept loop that hands
// each connection (after the TLS handshake, when the security asks for one) to a coroutine.
struct LoopbackListener {
    LoopbackListener(boost::asio::io_context& io, LoopbackSecurity security,
                     const std::string& address = "127.0.0.1");

    // "<scheme>://<address>:<port>" with the address bracketed when it is an IPv6 one.
    std::string origin(const std::string& scheme) const;

    using Plain = boost::asio::ip::tcp::socket;
    using Secure = boost::asio::ssl::stream<Plain>;
    // Hands every connection to `plain`, or over TLS, once its handshake succeeded, to `secure`,
    // until the acceptor closes.
    boost::asio::awaitable<void> acceptAll(
        std::function<boost::asio::awaitable<void>(Plain)> plain,
        std::function<boost::asio::awaitable<void>(Secure)> secure);

    boost::asio::ip::tcp::acceptor acceptor;
    std::string address;
    std::shared_ptr<boost::asio::ssl::context> tls;  // none for plain connections
};

// A scriptable HTTP/1.1 server on a loopback address (plain, or TLS with the test certificates)
// that runs on a thread of its own. Each request takes the next queued reply, or else the
// handler's; every request is recorded with the exact bytes that arrived for it.
class LoopbackHTTPServer {
  public:
    using Security = LoopbackSecurity;

    struct Request {
        std::string method;
        std::string target;
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
