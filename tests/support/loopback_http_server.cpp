#include "support/loopback_http_server.hpp"

#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include "support/test_certificates.hpp"

namespace tessarin::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable);

std::string head(const LoopbackHTTPServer::Reply& reply, std::size_t announcedLength) {
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                       std::string(http::obsolete_reason(static_cast<http::status>(reply.status))) +
                       "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        text += name + ": " + value + "\r\n";
        hasLength = hasLength || beast::iequals(name, "Content-Length");
    }
    if (!hasLength) {
        text += "Content-Length: " + std::to_string(announcedLength) + "\r\n";
    }
    if (reply.closeAfter) {
        text += "Connection: close\r\n";
    }
    return text + "\r\n";
}

}  // namespace

struct LoopbackHTTPServer::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<Reply> queue;
    Handler handler;
    std::vector<Request> requests;
    std::size_t accepted = 0;
    std::size_t open = 0;

    // Destroyed in reverse: the acceptor, then the io_context with every connection still in it.
    std::optional<ssl::context> tls;
    asio::io_context io;
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;

    Reply replyFor(const Request& request) {
        std::unique_lock lock(mutex);
        requests.push_back(request);
        changed.notify_all();
        if (!queue.empty()) {
            Reply reply = std::move(queue.front());
            queue.pop_front();
            return reply;
        }
        Handler current = handler;
        lock.unlock();
        return current ? current(request) : Reply::json(404, R"({"error":"not_found"})");
    }

    void connectionEnded() {
        std::lock_guard lock(mutex);
        --open;
        changed.notify_all();
    }

    asio::awaitable<void> accept() {
        for (;;) {
            auto [ec, socket] = co_await acceptor->async_accept(withErrorCode);
            if (ec) {
                co_return;
            }
            std::size_t number;
            {
                std::lock_guard lock(mutex);
                number = ++accepted;
                ++open;
            }
            asio::co_spawn(io, serve(std::move(socket), number), asio::detached);
        }
    }

    asio::awaitable<void> serve(tcp::socket socket, std::size_t number) {
        if (tls) {
            ssl::stream<tcp::socket> stream(std::move(socket), *tls);
            auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, withErrorCode);
            if (!ec) {
                co_await exchange(stream, number);
            }
        } else {
            co_await exchange(socket, number);
        }
        connectionEnded();
    }

    template <class Stream>
    asio::awaitable<void> exchange(Stream& stream, std::size_t number) {
        beast::flat_buffer buffer;
        for (;;) {
            auto request = co_await readRequest(stream, buffer, number);
            if (!request) {
                co_return;
            }
            Reply reply = replyFor(*request);
            if (reply.delay.count() > 0) {
                asio::steady_timer timer(io, reply.delay);
                co_await timer.async_wait(withErrorCode);
            }
            if (!co_await answer(stream, buffer, reply)) {
                co_return;
            }
        }
    }

    template <class Stream>
    asio::awaitable<std::optional<Request>> readRequest(Stream& stream, beast::flat_buffer& buffer,
                                                        std::size_t number) {
        http::request_parser<http::string_body> parser;
        parser.eager(true);
        parser.body_limit(64 * 1024 * 1024);
        std::string raw;
        while (!parser.is_done()) {
            if (buffer.size() > 0) {
                error_code ec;
                const std::size_t used = parser.put(buffer.data(), ec);
                raw.append(static_cast<const char*>(buffer.data().data()), used);
                buffer.consume(used);
                if (ec && ec != http::error::need_more) {
                    co_return std::nullopt;
                }
                if (parser.is_done() || (used > 0 && buffer.size() > 0)) {
                    continue;
                }
            }
            auto [ec, n] =
                co_await stream.async_read_some(buffer.prepare(64 * 1024), withErrorCode);
            if (ec) {
                co_return std::nullopt;
            }
            buffer.commit(n);
        }
        auto message = parser.release();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.emplace_back(std::string(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = std::move(message.body());
        request.raw = std::move(raw);
        request.connection = number;
        co_return request;
    }

    // Whether the connection stays open for another request.
    template <class Stream>
    asio::awaitable<bool> answer(Stream& stream, beast::flat_buffer& buffer, const Reply& reply) {
        using Action = Reply::Action;
        switch (reply.action) {
            case Action::answer:
            case Action::answerThenDrop: {
                const std::string bytes = head(reply, reply.body.size()) + reply.body;
                auto [ec, n] =
                    co_await asio::async_write(stream, asio::buffer(bytes), withErrorCode);
                co_return !ec && !reply.closeAfter && reply.action == Action::answer;
            }
            case Action::hang: {
                // Wait for the client to go away; anything it sends is ignored.
                for (;;) {
                    auto [ec, n] =
                        co_await stream.async_read_some(buffer.prepare(4096), withErrorCode);
                    if (ec) {
                        co_return false;
                    }
                    buffer.commit(n);
                    buffer.consume(n);
                }
            }
            case Action::closeBeforeAnswer:
                co_return false;
            case Action::closeMidBody: {
                const std::string bytes =
                    head(reply, reply.body.size()) + reply.body.substr(0, reply.body.size() / 2);
                co_await asio::async_write(stream, asio::buffer(bytes), withErrorCode);
                co_return false;
            }
            case Action::trickle: {
                const std::string start = head(reply, reply.body.size());
                auto [ec, n] =
                    co_await asio::async_write(stream, asio::buffer(start), withErrorCode);
                for (std::size_t i = 0; !ec && i < reply.body.size(); ++i) {
                    asio::steady_timer timer(io, reply.trickleInterval);
                    co_await timer.async_wait(withErrorCode);
                    std::tie(ec, n) = co_await asio::async_write(
                        stream, asio::buffer(reply.body.data() + i, 1), withErrorCode);
                }
                co_return false;
            }
            case Action::raw: {
                co_await asio::async_write(stream, asio::buffer(reply.body), withErrorCode);
                co_return false;
            }
        }
        co_return false;
    }
};

std::optional<std::string> LoopbackHTTPServer::Request::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (beast::iequals(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

LoopbackHTTPServer::Reply LoopbackHTTPServer::Reply::json(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.headers = {{"Content-Type", "application/json"}};
    reply.body = std::move(body);
    return reply;
}

LoopbackHTTPServer::Reply LoopbackHTTPServer::Reply::with(Action action) {
    Reply reply;
    reply.action = action;
    return reply;
}

LoopbackHTTPServer::LoopbackHTTPServer(Security security)
    : security_(security), state_(std::make_shared<State>()) {
    if (security != Security::plain) {
        const bool trusted = security == Security::tls;
        auto& tls = state_->tls.emplace(ssl::context::tls_server);
        const std::string& chain =
            trusted ? TestCertificates::serverChain() : TestCertificates::untrustedServerChain();
        const std::string& key =
            trusted ? TestCertificates::serverKey() : TestCertificates::untrustedServerKey();
        tls.use_certificate_chain(asio::buffer(chain));
        tls.use_private_key(asio::buffer(key), ssl::context::pem);
    }
    auto& acceptor =
        state_->acceptor.emplace(state_->io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    port_ = acceptor.local_endpoint().port();
    asio::co_spawn(state_->io, state_->accept(), asio::detached);
    state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

LoopbackHTTPServer::~LoopbackHTTPServer() {
    state_->io.stop();
    state_->thread.join();
}

void LoopbackHTTPServer::enqueue(Reply reply) {
    std::lock_guard lock(state_->mutex);
    state_->queue.push_back(std::move(reply));
}

void LoopbackHTTPServer::setHandler(Handler handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

std::string LoopbackHTTPServer::baseURL(std::string_view host) const {
    const bool secure = security_ != Security::plain;
    std::string name = host.empty() ? (secure ? "localhost" : "127.0.0.1") : std::string(host);
    return (secure ? "https://" : "http://") + name + ":" + std::to_string(port_);
}

std::vector<LoopbackHTTPServer::Request> LoopbackHTTPServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t LoopbackHTTPServer::connectionsAccepted() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

bool LoopbackHTTPServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

bool LoopbackHTTPServer::waitForClosedConnections(std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->open == 0; });
}

}  // namespace tessarin::test
