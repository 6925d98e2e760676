#include "core/net/beast_http_transport.hpp"

#include <charconv>
#include <deque>
#include <map>
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/vector_body.hpp>
#include <boost/beast/http/write.hpp>

#include "core/async/task.hpp"
#include "core/http/http_transport_error.hpp"
#include "core/net/tls_client.hpp"

namespace tessarin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable_t<Executor>{});

using Body = http::vector_body<std::uint8_t>;

// One TCP connection, with TLS on top for https.
struct Connection {
    explicit Connection(const Executor& executor) : socket(executor) {}
    tcp::socket socket;
    std::unique_ptr<ssl::stream<tcp::socket>> tls;
    beast::flat_buffer buffer;

    tcp::socket& lowest() { return tls ? tls->next_layer() : socket; }
    // An idle connection is only usable while the server has sent nothing on it: no close, no
    // reset, no TLS alert. Looks without blocking and without taking bytes off the socket.
    bool idleAndOpen() {
        error_code ec;
        std::uint8_t byte;
        auto& raw = lowest();
        raw.non_blocking(true, ec);
        if (ec) {
            return false;
        }
        raw.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
        return ec == asio::error::would_block && buffer.size() == 0;
    }
    void close() {
        error_code ignored;
        lowest().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().close(ignored);
    }
};

// What the time-out of one request can interrupt. The watchdog closes whatever the exchange is
// waiting on; the pointers are only set while the exchange is inside that step.
struct Deadline {
    bool finished = false;
    bool expired = false;
    tcp::resolver* resolver = nullptr;
    Connection* connection = nullptr;

    void expire() {
        expired = true;
        if (resolver) {
            resolver->cancel();
        }
        if (connection) {
            connection->close();
        }
    }
};

// Ends a request's watchdog however the exchange ends.
struct WatchdogGuard {
    std::shared_ptr<Deadline> deadline;
    Task<> watchdog;
    ~WatchdogGuard() {
        deadline->finished = true;
        deadline->resolver = nullptr;
        deadline->connection = nullptr;
        watchdog.cancel();
    }
};

std::string hostHeader(const URL& url) {
    std::string host = url.host();
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    const bool defaultPort = (url.scheme() == "https" && url.port() == 443) ||
                             (url.scheme() == "http" && url.port() == 80);
    if (!defaultPort) {
        host += ":" + std::to_string(url.port());
    }
    return host;
}

[[noreturn]] void fail(HTTPTransportError::Kind kind, const std::string& message) {
    throw HTTPTransportError(kind, message);
}

// Header text that would end its line early (or smuggle another header) can't go on the wire.
bool isSafeHeaderText(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isToken(std::string_view text) {
    constexpr std::string_view allowed =
        "!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

void checkSendable(const HTTPRequest& request) {
    if (!isToken(request.method)) {
        fail(HTTPTransportError::Kind::invalidRequest,
             "Can't send a request with the method \"" + request.method + "\".");
    }
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || !isSafeHeaderText(value)) {
            fail(HTTPTransportError::Kind::invalidRequest,
                 "Can't send the header \"" + name +
                     "\": it contains a line break or invalid "
                     "characters.");
        }
    }
}

bool isConnectionEnd(const error_code& ec) {
    return ec == http::error::end_of_stream || ec == http::error::partial_message ||
           ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::broken_pipe || ec == asio::error::connection_aborted ||
           ec == ssl::error::stream_truncated;
}

// Maps a failed step to the transport's error. Never called for the caller's own cancellation.
[[noreturn]] void failWith(const error_code& ec, const std::string& host, bool expired) {
    using Kind = HTTPTransportError::Kind;
    if (expired) {
        fail(Kind::timedOut, "The request to " + host + " timed out.");
    }
    if (ec == http::error::body_limit || ec == http::error::header_limit ||
        ec == http::error::buffer_overflow) {
        fail(Kind::responseTooLarge, "The response from " + host + " is too large.");
    }
    if (isConnectionEnd(ec)) {
        fail(Kind::connectionLost,
             "The connection to " + host + " was lost (" + ec.message() + ").");
    }
    if (ec.category() == http::make_error_code(http::error::bad_version).category()) {
        fail(Kind::badServerResponse,
             host + " sent a response that isn't HTTP (" + ec.message() + ").");
    }
    fail(Kind::connectionLost, "The exchange with " + host + " failed (" + ec.message() + ").");
}

}  // namespace

class BeastHTTPTransport::Impl : public std::enable_shared_from_this<Impl> {
  public:
    Impl(Executor executor, std::shared_ptr<Clock> clock, Options options)
        : executor_(std::move(executor)), clock_(std::move(clock)), options_(std::move(options)) {}

    ~Impl() {
        for (auto& [key, idle] : idle_) {
            for (auto& entry : idle) {
                entry.connection->close();
            }
        }
    }

    Awaitable<Result> send(HTTPRequest request);
    std::size_t idleCount() const {
        std::size_t count = 0;
        for (const auto& [key, idle] : idle_) {
            count += idle.size();
        }
        return count;
    }

  private:
    struct Idle {
        std::shared_ptr<Connection> connection;
        Clock::TimePoint since;
    };

    struct Attempt {
        std::optional<Result> result;
        error_code error;
        bool gotResponseBytes = false;
        bool keepAlive = false;
    };

    static std::string poolKey(const URL& url) {
        return url.scheme() + "://" + url.host() + ":" + std::to_string(url.port());
    }

    std::shared_ptr<Connection> takeIdle(const std::string& key);
    void keepIdle(const std::string& key, std::shared_ptr<Connection> connection);
    Awaitable<std::shared_ptr<Connection>> connect(const URL& url, Deadline& deadline);
    Awaitable<Attempt> exchange(Connection& connection, const HTTPRequest& request,
                                const http::request<Body>& message);
    template <class Stream>
    Awaitable<Attempt> exchangeOn(Stream& stream, Connection& connection,
                                  const HTTPRequest& request, const http::request<Body>& message);
    ssl::context& tlsContext() {
        if (!tls_) {
            tls_ = TLSClient::makeContext(options_.extraAuthorityPEM);
        }
        return *tls_;
    }

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    Options options_;
    std::shared_ptr<ssl::context> tls_;
    std::map<std::string, std::deque<Idle>> idle_;
};

std::shared_ptr<Connection> BeastHTTPTransport::Impl::takeIdle(const std::string& key) {
    auto found = idle_.find(key);
    if (found == idle_.end()) {
        return nullptr;
    }
    auto& idle = found->second;
    const auto now = clock_->now();
    std::shared_ptr<Connection> connection;
    while (!idle.empty() && !connection) {
        Idle entry = std::move(idle.back());
        idle.pop_back();
        if (now - entry.since <= options_.maxIdleTime && entry.connection->idleAndOpen()) {
            connection = std::move(entry.connection);
        } else {
            entry.connection->close();
        }
    }
    if (idle.empty()) {
        idle_.erase(found);
    }
    return connection;
}

void BeastHTTPTransport::Impl::keepIdle(const std::string& key,
                                        std::shared_ptr<Connection> connection) {
    auto& idle = idle_[key];
    idle.push_back({std::move(connection), clock_->now()});
    while (idle.size() > options_.maxIdlePerHost) {
        idle.front().connection->close();
        idle.pop_front();
    }
}

Awaitable<std::shared_ptr<Connection>> BeastHTTPTransport::Impl::connect(const URL& url,
                                                                         Deadline& deadline) {
    using Kind = HTTPTransportError::Kind;
    const std::string host = url.host();
    tcp::resolver resolver(executor_);
    deadline.resolver = &resolver;
    auto [resolveError, endpoints] = co_await resolver.async_resolve(
        host, std::to_string(url.port()), tcp::resolver::numeric_service, withErrorCode);
    deadline.resolver = nullptr;
    if (deadline.expired) {
        failWith(resolveError, host, true);
    }
    if (resolveError) {
        fail(Kind::cannotConnect,
             "Can't find the server " + host + " (" + resolveError.message() + ").");
    }

    auto connection = std::make_shared<Connection>(executor_);
    deadline.connection = connection.get();
    error_code connectError = asio::error::host_not_found;
    // Each address in turn; a time-out stops the walk instead of moving on to the next address.
    for (const auto& entry : endpoints) {
        error_code ignored;
        connection->socket.close(ignored);
        auto [ec] = co_await connection->socket.async_connect(entry.endpoint(), withErrorCode);
        connectError = ec;
        if (!ec || deadline.expired || ec == asio::error::operation_aborted) {
            break;
        }
    }
    if (deadline.expired) {
        failWith(connectError, host, true);
    }
    if (connectError == asio::error::operation_aborted) {
        throwCancelled();
    }
    if (connectError) {
        fail(Kind::cannotConnect,
             "Can't connect to " + host + " (" + connectError.message() + ").");
    }
    error_code ignored;
    connection->socket.set_option(tcp::no_delay(true), ignored);

    if (url.scheme() == "https") {
        connection->tls =
            std::make_unique<ssl::stream<tcp::socket>>(std::move(connection->socket), tlsContext());
        try {
            TLSClient::prepareConnection(connection->tls->native_handle(), host);
        } catch (const std::exception& e) {
            fail(Kind::secureConnectionFailed, e.what());
        }
        auto [ec] =
            co_await connection->tls->async_handshake(ssl::stream_base::client, withErrorCode);
        if (deadline.expired) {
            failWith(ec, host, true);
        }
        if (ec == asio::error::operation_aborted) {
            throwCancelled();
        }
        if (ec) {
            std::string reason = ec.message();
            const long verify = SSL_get_verify_result(connection->tls->native_handle());
            if (verify != X509_V_OK) {
                reason = X509_verify_cert_error_string(verify);
            }
            fail(Kind::secureConnectionFailed,
                 "Can't make a secure connection to " + host + " (" + reason + ").");
        }
    }
    co_return connection;
}

template <class Stream>
Awaitable<BeastHTTPTransport::Impl::Attempt> BeastHTTPTransport::Impl::exchangeOn(
    Stream& stream, Connection& connection, const HTTPRequest& request,
    const http::request<Body>& message) {
    Attempt attempt;
    auto [writeError, written] = co_await http::async_write(stream, message, withErrorCode);
    (void)written;
    if (writeError) {
        attempt.error = writeError;
        co_return attempt;
    }
    http::response_parser<Body> parser;
    parser.body_limit(options_.maxBodyBytes);
    parser.header_limit(static_cast<std::uint32_t>(options_.maxHeaderBytes));
    if (request.method == "HEAD") {
        parser.skip(true);
    }
    auto [readError, read] =
        co_await http::async_read(stream, connection.buffer, parser, withErrorCode);
    (void)read;
    attempt.gotResponseBytes = parser.got_some();
    if (readError) {
        attempt.error = readError;
        co_return attempt;
    }
    auto response = parser.release();
    Result result;
    result.response.status = static_cast<int>(response.result_int());
    result.response.url = request.url;
    for (const auto& field : response) {
        result.response.headers.emplace_back(std::string(field.name_string()),
                                             std::string(field.value()));
    }
    result.body = std::move(response.body());
    attempt.keepAlive = response.keep_alive() && connection.buffer.size() == 0;
    attempt.result = std::move(result);
    co_return attempt;
}

Awaitable<BeastHTTPTransport::Impl::Attempt> BeastHTTPTransport::Impl::exchange(
    Connection& connection, const HTTPRequest& request, const http::request<Body>& message) {
    if (connection.tls) {
        co_return co_await exchangeOn(*connection.tls, connection, request, message);
    }
    co_return co_await exchangeOn(connection.socket, connection, request, message);
}

Awaitable<BeastHTTPTransport::Result> BeastHTTPTransport::Impl::send(HTTPRequest request) {
    using Kind = HTTPTransportError::Kind;
    auto self = shared_from_this();
    const std::string scheme = request.url.scheme();
    const std::string host = request.url.host();
    if ((scheme != "http" && scheme != "https") || host.empty()) {
        fail(Kind::badURL, "Can't send a request to " + request.url.text() + ".");
    }
    checkSendable(request);

    http::request<Body> message;
    message.version(11);
    message.method_string(request.method);
    message.target(request.url.target());
    message.set(http::field::host, hostHeader(request.url));
    for (const auto& [name, value] : request.headers) {
        message.insert(name, value);
    }
    if (request.body) {
        message.body() = std::move(*request.body);
        message.content_length(message.body().size());
    }
    message.keep_alive(true);

    auto deadline = std::make_shared<Deadline>();
    WatchdogGuard guard{deadline, Task<>::spawn(executor_, "the request time-out",
                                                [clock = clock_, timeout = request.timeout,
                                                 deadline]() -> Awaitable<void> {
                                                    co_await clock->sleep(timeout);
                                                    if (!deadline->finished) {
                                                        deadline->expire();
                                                    }
                                                })};

    const std::string key = poolKey(request.url);
    std::shared_ptr<Connection> connection = takeIdle(key);
    const bool reused = connection != nullptr;
    if (!connection) {
        connection = co_await connect(request.url, *deadline);
    }
    deadline->connection = connection.get();
    Attempt attempt = co_await exchange(*connection, request, message);
    // A kept-alive connection that the server closed while it sat idle fails before any answer;
    // the request then goes once more over a fresh connection.
    if (reused && attempt.error && !attempt.gotResponseBytes && !deadline->expired &&
        isConnectionEnd(attempt.error)) {
        connection->close();
        connection = co_await connect(request.url, *deadline);
        deadline->connection = connection.get();
        attempt = co_await exchange(*connection, request, message);
    }
    deadline->connection = nullptr;
    if (attempt.error) {
        connection->close();
        if (attempt.error == asio::error::operation_aborted && !deadline->expired) {
            throwCancelled();
        }
        failWith(attempt.error, host, deadline->expired);
    }
    if (attempt.keepAlive) {
        keepIdle(key, std::move(connection));
    } else {
        connection->close();
    }
    co_return std::move(*attempt.result);
}

BeastHTTPTransport::BeastHTTPTransport(Executor executor, std::shared_ptr<Clock> clock,
                                       Options options)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(clock), std::move(options))) {}

BeastHTTPTransport::BeastHTTPTransport(Executor executor, std::shared_ptr<Clock> clock)
    : BeastHTTPTransport(std::move(executor), std::move(clock), Options{}) {}

BeastHTTPTransport::~BeastHTTPTransport() = default;

Awaitable<HTTPTransport::Result> BeastHTTPTransport::send(HTTPRequest request) {
    auto impl = impl_;
    co_return co_await impl->send(std::move(request));
}

std::size_t BeastHTTPTransport::idleConnections() const {
    return impl_->idleCount();
}

}  // namespace tessarin
