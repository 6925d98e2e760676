#include "support/loopback_http_server.hpp"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
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

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable);

std::string head(const LoopbackHTTPServer::Reply& reply) {
    const auto reason = http::obsolete_reason(static_cast<http::status>(reply.status));
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + std::string(reason);
    for (const auto& [name, value] : reply.headers) {
        text += "\r\n" + name + ": " + value;
    }
    if (reply.action == LoopbackHTTPServer::Reply::Action::chunked) {
        return text + "\r\nTransfer-Encoding: chunked\r\n\r\n";
    }
    return text + "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
}

std::string chunked(const LoopbackHTTPServer::Reply& reply) {
    std::string text = head(reply);
    for (std::size_t at = 0; at < reply.body.size(); at += 1000) {
        const std::string piece = reply.body.substr(at, 1000);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        text += size + piece + "\r\n";
    }
    return text + "0\r\n" + reply.trailer + "\r\n";
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
    std::size_t moved = 0;
    std::size_t readPiece = 64 * 1024;
    std::chrono::milliseconds readPause{0};

    // Destroyed in reverse: the acceptor, then the io_context with every connection still in it.
    std::optional<ssl::context> tls;
    asio::io_context io;
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;

    Reply replyFor(const Request& request) {
        std::unique_lock lock(mutex);
        requests.push_back(request);
        if (!queue.empty()) {
            Reply reply = std::move(queue.front());
            queue.pop_front();
            return reply;
        }
        Handler current = handler;
        lock.unlock();
        return current ? current(request) : Reply::json(404, R"({"error":"not_found"})");
    }

    void countMoved(std::size_t bytes) {
        std::lock_guard lock(mutex);
        moved += bytes;
    }

    bool earlyAnswerQueued() {
        std::lock_guard lock(mutex);
        return !queue.empty() && queue.front().action == Reply::Action::early;
    }

    void countConnection(bool opened) {
        std::lock_guard lock(mutex);
        opened ? (++accepted, ++open) : --open;
        changed.notify_all();
    }

    asio::awaitable<void> accept() {
        for (;;) {
            auto [ec, socket] = co_await acceptor->async_accept(withErrorCode);
            if (ec) {
                co_return;
            }
            countConnection(true);
            asio::co_spawn(io, serve(std::move(socket)), asio::detached);
        }
    }

    asio::awaitable<void> serve(tcp::socket socket) {
        if (tls) {
            ssl::stream<tcp::socket> stream(std::move(socket), *tls);
            auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, withErrorCode);
            if (!ec) {
                co_await exchange(stream);
            }
        } else {
            co_await exchange(socket);
        }
        countConnection(false);
    }

    template <class Stream>
    asio::awaitable<void> exchange(Stream& stream) {
        beast::flat_buffer buffer;
        while (auto request = co_await readRequest(stream, buffer)) {
            const Reply reply = replyFor(*request);
            co_await pause(reply.delay);
            if (!co_await answer(stream, buffer, reply)) {
                co_return;
            }
        }
    }

    std::pair<std::size_t, std::chrono::milliseconds> readPace() {
        std::lock_guard lock(mutex);
        return {readPiece, readPause};
    }

    template <class Stream>
    asio::awaitable<boost::system::error_code> send(Stream& stream, const std::string& bytes) {
        auto [ec, n] = co_await asio::async_write(stream, asio::buffer(bytes), withErrorCode);
        countMoved(n);
        co_return ec;
    }

    asio::awaitable<void> pause(std::chrono::milliseconds duration) {
        asio::steady_timer timer(io, duration);
        co_await timer.async_wait(withErrorCode);
    }

    // Parses byte by byte what arrives so that `raw` holds exactly the request's bytes.
    template <class Stream>
    asio::awaitable<std::optional<Request>> readRequest(Stream& stream,
                                                        beast::flat_buffer& buffer) {
        http::request_parser<http::string_body> parser;
        parser.eager(true);
        parser.body_limit(64 * 1024 * 1024);
        std::string raw;
        bool needMore = buffer.size() == 0;
        while (!parser.is_done() && !(parser.is_header_done() && earlyAnswerQueued())) {
            if (needMore) {
                auto [piece, wait] = readPace();
                auto [ec, n] =
                    co_await stream.async_read_some(buffer.prepare(piece), withErrorCode);
                if (ec) {
                    co_return std::nullopt;
                }
                buffer.commit(n);
                countMoved(n);
                co_await pause(wait);
            }
            boost::system::error_code ec;
            const std::size_t used = parser.put(buffer.data(), ec);
            raw.append(static_cast<const char*>(buffer.data().data()), used);
            buffer.consume(used);
            if (ec && ec != http::error::need_more) {
                co_return std::nullopt;
            }
            needMore = ec == http::error::need_more || buffer.size() == 0;
        }
        auto message = parser.release();
        Request request{std::string(message.method_string()),
                        std::string(message.target()),
                        {},
                        std::move(message.body()),
                        std::move(raw)};
        for (const auto& field : message) {
            request.headers.emplace_back(field.name_string(), field.value());
        }
        co_return request;
    }

    // Whether the connection stays open for another request.
    template <class Stream>
    asio::awaitable<bool> answer(Stream& stream, beast::flat_buffer& buffer, const Reply& reply) {
        switch (reply.action) {
            case Reply::Action::answer:
            case Reply::Action::chunked:
            case Reply::Action::early: {
                const std::string bytes = reply.action == Reply::Action::chunked
                                              ? chunked(reply)
                                              : head(reply) + reply.body;
                const auto ec = co_await send(stream, bytes);
                if (reply.action == Reply::Action::early) {
                    // Like a server that refuses a body and stops reading it.
                    co_await pause(std::chrono::hours(1));
                }
                co_return !ec;
            }
            case Reply::Action::hang:
                // Wait for the client to go away; anything it sends is ignored.
                for (;;) {
                    auto [ec, n] =
                        co_await stream.async_read_some(buffer.prepare(4096), withErrorCode);
                    if (ec) {
                        co_return false;
                    }
                }
            case Reply::Action::trickle: {
                auto ec = co_await send(stream, head(reply));
                for (std::size_t i = 0; !ec && i < reply.body.size(); ++i) {
                    co_await pause(std::chrono::milliseconds(2));
                    ec = co_await send(stream, reply.body.substr(i, 1));
                }
                co_return false;
            }
            case Reply::Action::raw:
                co_await send(stream, reply.body);
                co_return false;
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
    return Reply{status, {{"Content-Type", "application/json"}}, std::move(body)};
}

LoopbackHTTPServer::Reply LoopbackHTTPServer::Reply::with(Action action, std::string body) {
    return Reply{.body = std::move(body), .action = action};
}

LoopbackHTTPServer::LoopbackHTTPServer(Security security, const std::string& address)
    : security_(security), host_(address), state_(std::make_shared<State>()) {
    if (security != Security::plain) {
        using Certificates = TestCertificates;
        const bool other = security == Security::otherNameTLS;
        const bool untrusted = security == Security::untrustedTLS;
        auto& tls = state_->tls.emplace(ssl::context::tls_server);
        tls.use_certificate_chain(asio::buffer(other       ? Certificates::otherNameChain()
                                               : untrusted ? Certificates::untrustedServerChain()
                                                           : Certificates::serverChain()));
        tls.use_private_key(asio::buffer(other       ? Certificates::otherNameKey()
                                         : untrusted ? Certificates::untrustedServerKey()
                                                     : Certificates::serverKey()),
                            ssl::context::pem);
        host_ = "localhost";
    } else if (host_.find(':') != std::string::npos) {
        host_ = "[" + host_ + "]";
    }
    auto& acceptor =
        state_->acceptor.emplace(state_->io, tcp::endpoint(asio::ip::make_address(address), 0));
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

void LoopbackHTTPServer::readSlowly(std::size_t piece, std::chrono::milliseconds pause) {
    std::lock_guard lock(state_->mutex);
    state_->readPiece = piece;
    state_->readPause = pause;
}

std::string LoopbackHTTPServer::baseURL() const {
    const bool secure = security_ != Security::plain;
    return (secure ? "https://" : "http://") + host_ + ":" + std::to_string(port_);
}

std::vector<LoopbackHTTPServer::Request> LoopbackHTTPServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t LoopbackHTTPServer::bytesMoved() const {
    std::lock_guard lock(state_->mutex);
    return state_->moved;
}

std::size_t LoopbackHTTPServer::connectionsAccepted() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

bool LoopbackHTTPServer::waitForClosedConnections(std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->open == 0; });
}

}  // namespace tessarin::test
