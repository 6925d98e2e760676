#include "core/net/beast_http_transport.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <map>
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/vector_body.hpp>
#include <boost/beast/http/write.hpp>

#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/http/http_transport_error.hpp"
#include "core/net/tls_client.hpp"

namespace tessarin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Kind = HTTPTransportError::Kind;

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable_t<Executor>{});

using Body = http::vector_body<std::uint8_t>;

// The most a socket's kernel buffer may hold unsent. A write ends only once the network has taken
// the bytes beyond this, so a slow uplink shows its progress to the inactivity limit write by write
// instead of the kernel swallowing a whole body at once (the bytes leave later, unseen).
constexpr int unsentLimit = 64 * 1024;

// One TCP connection, with TLS on top for https. The read buffer is bounded: apart from body
// bytes, which pass through to the body, nothing a server sends can make it grow further.
struct Connection {
    Connection(const Executor& executor, std::size_t bufferLimit)
        : socket(executor), buffer(bufferLimit) {}
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

// One request's inactivity limit and what it interrupts when it runs out: the step the request
// is waiting in. The pointers are only set while the request is inside that step.
struct Inactivity {
    Inactivity(Executor executor, std::shared_ptr<Clock> clock)
        : deadline(std::move(executor), std::move(clock)) {}
    tcp::resolver* resolver = nullptr;
    Connection* connection = nullptr;
    // Declared last so that it is disarmed before the pointers above go.
    Deadline deadline;

    void arm(Clock::Duration limit) {
        deadline.arm(limit, [this] {
            if (resolver) {
                resolver->cancel();
            }
            if (connection) {
                connection->close();
            }
        });
    }
    bool expired() const { return deadline.expired(); }
};

// A stream that restarts the exchange's inactivity limit whenever a read or write on `next`
// moved bytes.
template <class Next>
class ProgressStream {
  public:
    using executor_type = typename Next::executor_type;

    ProgressStream(Next& next, Deadline& deadline) : next_(next), deadline_(deadline) {}
    executor_type get_executor() { return next_.get_executor(); }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return asio::async_compose<Token, void(error_code, std::size_t)>(
            Step<Buffers, false>{*this, buffers}, token, next_);
    }
    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return asio::async_compose<Token, void(error_code, std::size_t)>(
            Step<Buffers, true>{*this, buffers}, token, next_);
    }

  private:
    template <class Buffers, bool isWrite>
    struct Step {
        ProgressStream& stream;
        Buffers buffers;
        bool started = false;

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t moved = 0) {
            if (!started) {
                started = true;
                if constexpr (isWrite) {
                    stream.next_.async_write_some(buffers, std::move(self));
                } else {
                    stream.next_.async_read_some(buffers, std::move(self));
                }
                return;
            }
            if (moved > 0) {
                stream.deadline_.restart();
            }
            self.complete(ec, moved);
        }
    };

    Next& next_;
    Deadline& deadline_;
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

[[noreturn]] void fail(Kind kind, const std::string& message) {
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

using Headers = std::vector<std::pair<std::string, std::string>>;

void checkSendable(const std::string& method, const Headers& headers) {
    if (!isToken(method)) {
        fail(Kind::invalidRequest, "Can't send a request with the method \"" + method + "\".");
    }
    for (const auto& [name, value] : headers) {
        if (!isToken(name) || !isSafeHeaderText(value)) {
            fail(Kind::invalidRequest, "Can't send the header \"" + name +
                                           "\": it contains a line break or invalid characters.");
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

// Runs the reading and the writing of one exchange side by side until the reading ends, then
// cancels the writing: the answer decides how an exchange ends, also while a body is still going
// out to a server that has refused it early.
Awaitable<void> race(Awaitable<void> reading, Awaitable<void> writing) {
    const Executor executor = co_await asio::this_coro::executor;
    auto [order, readFailure, writeFailure] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, std::move(reading), asio::deferred),
            asio::co_spawn(executor, std::move(writing), asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable_t<Executor>{});
    (void)order;
    (void)writeFailure;
    if (readFailure) {
        std::rethrow_exception(readFailure);
    }
}

void limitUnsentBytes(tcp::socket& socket) {
#ifdef TCP_NOTSENT_LOWAT
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentLimit,
                 sizeof unsentLimit);
#else
    (void)socket;
#endif
}

}  // namespace

class BeastHTTPTransport::Impl : public SharedObject<Impl> {
  public:
    Impl(Token, Executor executor, std::shared_ptr<Clock> clock, Options options)
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
        bool written = false;
        bool keepAlive = false;
    };

    static std::string poolKey(const URL& url) {
        return url.scheme() + "://" + url.host() + ":" + std::to_string(url.port());
    }

    std::shared_ptr<Connection> takeIdle(const std::string& key);
    void keepIdle(const std::string& key, std::shared_ptr<Connection> connection);
    Awaitable<std::shared_ptr<Connection>> connect(const URL& url, Inactivity& inactivity);
    Awaitable<void> handshake(Connection& connection, const std::string& host,
                              Inactivity& inactivity);
    Awaitable<Attempt> exchange(Connection& connection, const HTTPRequest& request,
                                http::request<Body>& message, Inactivity& inactivity);
    template <class Stream>
    Awaitable<void> writeRequest(Stream& stream, http::request<Body>& message, Attempt& attempt);
    template <class Stream>
    Awaitable<void> readResponse(Stream& stream, Connection& connection, const HTTPRequest& request,
                                 Attempt& attempt);
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
                                                                         Inactivity& inactivity) {
    const std::string host = url.host();
    tcp::resolver resolver(executor_);
    inactivity.resolver = &resolver;
    auto [resolveError, endpoints] = co_await resolver.async_resolve(
        host, std::to_string(url.port()), tcp::resolver::numeric_service, withErrorCode);
    inactivity.resolver = nullptr;
    if (inactivity.expired()) {
        failWith(resolveError, host, true);
    }
    if (resolveError) {
        fail(Kind::cannotConnect,
             "Can't find the server " + host + " (" + resolveError.message() + ").");
    }

    auto connection = std::make_shared<Connection>(executor_, options_.maxHeaderBytes);
    inactivity.connection = connection.get();
    // Plain HTTP carries the token readably: it may only reach this computer, whatever the name
    // resolved to. Addresses that merely lead here (0.0.0.0, IPv4-mapped) don't count.
    const bool loopbackOnly = url.scheme() == "http";
    error_code connectError = asio::error::host_not_found;
    std::string refused;
    bool tried = false;
    // Each address in turn; a time-out stops the walk instead of moving on to the next address.
    for (const auto& entry : endpoints) {
        const auto address = entry.endpoint().address();
        if (loopbackOnly && !address.is_loopback()) {
            refused = address.to_string();
            continue;
        }
        tried = true;
        error_code ignored;
        connection->socket.close(ignored);
        auto [ec] = co_await connection->socket.async_connect(entry.endpoint(), withErrorCode);
        connectError = ec;
        if (!ec || inactivity.expired() || ec == asio::error::operation_aborted) {
            break;
        }
    }
    if (!tried && !refused.empty()) {
        fail(Kind::badURL,
             "Won't send plain HTTP to " + host + ": " + refused + " isn't a loopback address.");
    }
    if (inactivity.expired()) {
        failWith(connectError, host, true);
    }
    if (connectError == asio::error::operation_aborted) {
        throwCancelled();
    }
    if (connectError) {
        fail(Kind::cannotConnect,
             "Can't connect to " + host + " (" + connectError.message() + ").");
    }
    inactivity.deadline.restart();
    error_code ignored;
    connection->socket.set_option(tcp::no_delay(true), ignored);
    limitUnsentBytes(connection->socket);
    if (url.scheme() == "https") {
        co_await handshake(*connection, host, inactivity);
    }
    co_return connection;
}

Awaitable<void> BeastHTTPTransport::Impl::handshake(Connection& connection, const std::string& host,
                                                    Inactivity& inactivity) {
    connection.tls =
        std::make_unique<ssl::stream<tcp::socket>>(std::move(connection.socket), tlsContext());
    try {
        TLSClient::prepareConnection(connection.tls->native_handle(), host);
    } catch (const std::exception& e) {
        fail(Kind::secureConnectionFailed, e.what());
    }
    auto [ec] = co_await connection.tls->async_handshake(ssl::stream_base::client, withErrorCode);
    if (inactivity.expired()) {
        failWith(ec, host, true);
    }
    if (ec == asio::error::operation_aborted) {
        throwCancelled();
    }
    if (ec) {
        std::string reason = ec.message();
        const long verify = SSL_get_verify_result(connection.tls->native_handle());
        if (verify != X509_V_OK) {
            reason = X509_verify_cert_error_string(verify);
        }
        fail(Kind::secureConnectionFailed,
             "Can't make a secure connection to " + host + " (" + reason + ").");
    }
    inactivity.deadline.restart();
}

template <class Stream>
Awaitable<void> BeastHTTPTransport::Impl::writeRequest(Stream& stream, http::request<Body>& message,
                                                       Attempt& attempt) {
    auto [ec, written] = co_await http::async_write(stream, message, withErrorCode);
    (void)written;
    attempt.written = !ec;
    // Whether or not the request went out whole, the answer decides how the exchange ends (a
    // server may refuse a body early and stop reading it): wait until the race cancels this side.
    OneShot<> untilCancelled(executor_);
    co_await untilCancelled.wait();
}

template <class Stream>
Awaitable<void> BeastHTTPTransport::Impl::readResponse(Stream& stream, Connection& connection,
                                                       const HTTPRequest& request,
                                                       Attempt& attempt) {
    // Interim (1xx) answers are skipped; together they may take no more than one head.
    std::size_t headBudget = options_.maxHeaderBytes;
    for (;;) {
        http::response_parser<Body> parser;
        parser.body_limit(options_.maxBodyBytes);
        parser.header_limit(static_cast<std::uint32_t>(headBudget));
        if (request.method == "HEAD") {
            parser.skip(true);
        }
        auto [ec, used] =
            co_await http::async_read(stream, connection.buffer, parser, withErrorCode);
        attempt.gotResponseBytes = attempt.gotResponseBytes || parser.got_some();
        if (ec == ssl::error::stream_truncated && parser.need_eof()) {
            // A body that ends with the connection is whole even when the server skipped TLS's
            // close_notify, as many do.
            ec = {};
            parser.put_eof(ec);
        }
        if (ec) {
            attempt.error = ec;
            co_return;
        }
        if (parser.get().result_int() / 100 == 1) {
            headBudget -= std::min(headBudget, used);
            continue;
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
        co_return;
    }
}

Awaitable<BeastHTTPTransport::Impl::Attempt> BeastHTTPTransport::Impl::exchange(
    Connection& connection, const HTTPRequest& request, http::request<Body>& message,
    Inactivity& inactivity) {
    Attempt attempt;
    if (connection.tls) {
        ProgressStream stream(*connection.tls, inactivity.deadline);
        auto reading = readResponse(stream, connection, request, attempt);
        auto writing = writeRequest(stream, message, attempt);
        co_await race(std::move(reading), std::move(writing));
    } else {
        ProgressStream stream(connection.socket, inactivity.deadline);
        auto reading = readResponse(stream, connection, request, attempt);
        auto writing = writeRequest(stream, message, attempt);
        co_await race(std::move(reading), std::move(writing));
    }
    attempt.keepAlive = attempt.keepAlive && attempt.written;
    co_return attempt;
}

Awaitable<BeastHTTPTransport::Result> BeastHTTPTransport::Impl::send(HTTPRequest request) {
    auto self = shared_from_this();
    const std::string scheme = request.url.scheme();
    const std::string host = request.url.host();
    if ((scheme != "http" && scheme != "https") || host.empty()) {
        fail(Kind::badURL, "Can't send a request to " + request.url.text() + ".");
    }
    Headers headers{{"Host", hostHeader(request.url)}};
    if (!options_.userAgent.empty()) {
        headers.emplace_back("User-Agent", options_.userAgent);
    }
    headers.insert(headers.end(), request.headers.begin(), request.headers.end());
    checkSendable(request.method, headers);

    http::request<Body> message;
    message.version(11);
    message.method_string(request.method);
    message.target(request.url.target());
    for (const auto& [name, value] : headers) {
        message.insert(name, value);
    }
    if (request.body) {
        message.body() = std::move(*request.body);
        message.content_length(message.body().size());
    }
    message.keep_alive(true);

    Inactivity inactivity(executor_, clock_);
    inactivity.arm(request.inactivityLimit);
    const std::string key = poolKey(request.url);
    std::shared_ptr<Connection> connection = takeIdle(key);
    const bool reused = connection != nullptr;
    if (!connection) {
        connection = co_await connect(request.url, inactivity);
    }
    inactivity.connection = connection.get();
    Attempt attempt = co_await exchange(*connection, request, message, inactivity);
    // A kept-alive connection that the server closed while it sat idle fails before any answer;
    // the request then goes once more over a fresh connection.
    if (reused && attempt.error && !attempt.gotResponseBytes && !inactivity.expired() &&
        isConnectionEnd(attempt.error)) {
        connection->close();
        connection = co_await connect(request.url, inactivity);
        inactivity.connection = connection.get();
        attempt = co_await exchange(*connection, request, message, inactivity);
    }
    inactivity.connection = nullptr;
    if (attempt.error) {
        connection->close();
        if (attempt.error == asio::error::operation_aborted && !inactivity.expired()) {
            throwCancelled();
        }
        failWith(attempt.error, host, inactivity.expired());
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
    : impl_(Impl::create(std::move(executor), std::move(clock), std::move(options))) {}

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
