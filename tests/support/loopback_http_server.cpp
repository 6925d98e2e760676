#include "support/loopback_http_server.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/status.hpp>

namespace tessarin::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using Action = LoopbackHTTPServer::Reply::Action;

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable);

}  // namespace

struct LoopbackHTTPServer::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<Reply> queue;
    Handler handler;
    std::vector<Request> requests;
    std::size_t accepted = 0, closed = 0, moved = 0, piece = 64 * 1024;
    std::chrono::milliseconds pause{0};

    // Destroyed in reverse: the acceptor, then the io_context with every connection still in it.
    asio::io_context io;
    std::optional<LoopbackListener> listener;
    std::thread thread;

    template <class F>
    auto locked(F f) {
        std::lock_guard lock(mutex);
        changed.notify_all();
        return f();
    }

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

    template <class Stream>
    asio::awaitable<void> serve(Stream stream) {
        locked([&] { return ++accepted; });
        std::string pending;
        for (bool open = true; open;) {
            std::optional<Request> request = co_await readRequest(stream, pending);
            if (!request) {
                break;
            }
            const Reply reply = replyFor(*request);
            open = co_await answer(stream, pending, reply);
        }
        locked([&] { return ++closed; });
    }

    asio::awaitable<void> sleep(std::chrono::milliseconds duration) {
        asio::steady_timer timer(io, duration);
        co_await timer.async_wait(withErrorCode);
    }

    // Appends what arrives to `pending` until `enough` holds; false once the connection ended.
    template <class Stream, class Enough>
    asio::awaitable<bool> readUntil(Stream& stream, std::string& pending, Enough enough) {
        while (!enough()) {
            const auto [most, wait] = locked([&] { return std::pair(piece, pause); });
            std::string bytes(most, '\0');
            auto [ec, n] = co_await stream.async_read_some(asio::buffer(bytes), withErrorCode);
            pending.append(bytes, 0, n);
            locked([&] { return moved += n; });
            if (ec) {
                co_return false;
            }
            co_await sleep(wait);
        }
        co_return true;
    }

    // One request: its head, then Content-Length bytes of body unless an early answer is queued.
    // `pending` keeps what arrived beyond it.
    template <class Stream>
    asio::awaitable<std::optional<Request>> readRequest(Stream& stream, std::string& pending) {
        const auto end = [&] { return pending.find("\r\n\r\n"); };
        const bool head =
            co_await readUntil(stream, pending, [&] { return end() != pending.npos; });
        if (!head) {
            co_return std::nullopt;
        }
        Request request;
        std::size_t at = pending.find("\r\n");
        std::istringstream(pending.substr(0, at)) >> request.method >> request.target;
        for (std::size_t next; at < end(); at = next) {
            next = pending.find("\r\n", at + 2);
            const std::string line = pending.substr(at + 2, next - at - 2);
            const std::size_t colon = line.find(':');
            const std::size_t value = std::min(line.size(), line.find_first_not_of(' ', colon + 1));
            request.headers.emplace_back(line.substr(0, colon), line.substr(value));
        }
        const std::size_t size =
            end() + 4 + std::stoul(request.header("Content-Length").value_or("0"));
        const bool whole = co_await readUntil(stream, pending, [&] {
            return pending.size() >= size ||
                   locked([&] { return !queue.empty() && queue.front().action == Action::early; });
        });
        if (!whole) {
            co_return std::nullopt;
        }
        request.raw = pending.substr(0, size);
        request.body = request.raw.substr(end() + 4);
        pending.erase(0, request.raw.size());
        co_return request;
    }

    template <class Stream>
    asio::awaitable<bool> send(Stream& stream, const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const auto [most, wait] = locked([&] { return std::pair(piece, pause); });
            const auto size = std::min(most, bytes.size() - at);
            auto [ec, n] =
                co_await asio::async_write(stream, asio::buffer(&bytes[at], size), withErrorCode);
            locked([&] { return moved += n; });
            if (ec) {
                co_return false;
            }
            at += n;
            co_await sleep(wait);
        }
        co_return true;
    }

    // Whether the connection stays open for another request.
    template <class Stream>
    asio::awaitable<bool> answer(Stream& stream, std::string& pending, const Reply& reply) {
        if (reply.action == Action::hang) {
            // Waits for the client to go away; anything it sends is ignored.
            co_await readUntil(stream, pending, [] { return false; });
            co_return false;
        }
        std::string bytes = reply.body;
        if (reply.action != Action::raw) {
            const auto reason = http::obsolete_reason(static_cast<http::status>(reply.status));
            std::string head =
                "HTTP/1.1 " + std::to_string(reply.status) + " " + std::string(reason);
            for (const auto& [name, value] : reply.headers) {
                head += "\r\n" + name + ": " + value;
            }
            bytes =
                head + "\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n\r\n" + bytes;
        }
        const bool sent = co_await send(stream, bytes);
        if (reply.action == Action::early) {
            // Like a server that refuses a body and stops reading it.
            co_await sleep(std::chrono::hours(1));
        }
        const bool open = sent && reply.action == Action::answer;
        co_return open;
    }
};

std::optional<std::string> LoopbackHTTPServer::Request::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (boost::beast::iequals(field, name)) {
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
    : state_(std::make_shared<State>()) {
    auto& listener = state_->listener.emplace(state_->io, security, address);
    port_ = listener.acceptor.local_endpoint().port();
    base_ = listener.tls ? "https://localhost:" + std::to_string(port_) : listener.origin("http");
    const auto serve = [state = state_.get()](auto stream) {
        return state->serve(std::move(stream));
    };
    asio::co_spawn(state_->io, listener.acceptAll(serve, serve), asio::detached);
    state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

LoopbackHTTPServer::~LoopbackHTTPServer() {
    state_->io.stop();
    state_->thread.join();
}

void LoopbackHTTPServer::enqueue(Reply reply) {
    state_->locked([&] { state_->queue.push_back(std::move(reply)); });
}

void LoopbackHTTPServer::setHandler(Handler handler) {
    state_->locked([&] { state_->handler = std::move(handler); });
}

void LoopbackHTTPServer::pace(std::size_t piece, std::chrono::milliseconds pause) {
    state_->locked([&] { std::tie(state_->piece, state_->pause) = std::pair(piece, pause); });
}

std::vector<LoopbackHTTPServer::Request> LoopbackHTTPServer::requests() const {
    return state_->locked([&] { return state_->requests; });
}

std::size_t LoopbackHTTPServer::bytesMoved() const {
    return state_->locked([&] { return state_->moved; });
}

std::size_t LoopbackHTTPServer::connectionsAccepted() const {
    return state_->locked([&] { return state_->accepted; });
}

bool LoopbackHTTPServer::waitForClosedConnections(std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit,
                                    [&] { return state_->closed == state_->accepted; });
}

}  // namespace tessarin::test
