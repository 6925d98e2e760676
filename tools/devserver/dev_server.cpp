#include "devserver/dev_server.hpp"

#include <functional>
#include <map>
#include <optional>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "core/async/deadline.hpp"
#include "core/async/task_group.hpp"
#include "core/log/diagnostics.hpp"
#include "devserver/realtime_stand_in.hpp"

namespace tessarin {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr auto tupled = asio::as_tuple(asio::use_awaitable_t<Executor>{});

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void closeQuietly(tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

WebAPI::Request apiRequestOf(const Request& request) {
    return WebAPI::Request{.method = std::string(request.method_string()),
                           .target = std::string(request.target()),
                           .authorization = std::string(request[http::field::authorization]),
                           .contentType = std::string(request[http::field::content_type]),
                           .body = request.body()};
}

Response responseOf(const WebAPI::Reply& reply, bool keepAlive) {
    Response response{static_cast<http::status>(reply.status), 11};
    response.set(http::field::server, "tessarin-devserver");
    response.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : reply.headers) {
        response.set(name, value);
    }
    response.body() = reply.body;
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

// The answer to a request that could not be read, or nothing when the client just went away.
std::optional<WebAPI::Reply> refusalOfUnreadable(const boost::system::error_code& error) {
    if (error == http::error::body_limit) {
        return WebAPI::Reply::error(413, "payload_too_large", "The request body is too large.");
    }
    if (error == http::error::header_limit) {
        return WebAPI::Reply::error(431, "headers_too_large", "The request head is too large.");
    }
    if (error.category() == http::make_error_code(http::error::bad_target).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message) {
        return WebAPI::Reply::error(400, "bad_request", "The request is not valid HTTP.");
    }
    return std::nullopt;
}

}  // namespace

class DevServer::Impl : public std::enable_shared_from_this<Impl> {
  public:
    Impl(Executor executor, std::shared_ptr<Clock> clock, WebAPI& api, Limits limits)
        : executor_(executor),
          clock_(std::move(clock)),
          api_(api),
          limits_(limits),
          acceptor_(executor),
          tasks_(executor) {
        api_.onDropNow([this] { dropRealtimeConnections(); });
    }

    void listen(std::uint16_t port) {
        const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        api_.setRealtimeURL("ws://127.0.0.1:" + std::to_string(this->port()) +
                            "/v1/realtime?intent=transcription");
        auto self = shared_from_this();
        tasks_.spawn("accepting connections",
                     [self]() -> Awaitable<void> { co_await self->acceptLoop(); });
    }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    void stop() {
        api_.onDropNow({});
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        const auto live = std::move(live_);
        live_.clear();
        for (const auto& [id, connection] : live) {
            connection.close();
        }
        tasks_.cancelAll();
    }

  private:
    struct Live {
        std::function<void()> close;
        bool realtime = false;
    };

    // Keeps a connection findable (to drop it, or to end it at stop) while its task serves it.
    class Registration {
      public:
        Registration(Impl& server, std::function<void()> close)
            : server_(server), id_(++server.lastID_) {
            server_.live_[id_] = Live{std::move(close)};
        }
        ~Registration() { server_.live_.erase(id_); }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

        std::uint64_t id() const { return id_; }
        void becomeRealtime(std::function<void()> close) {
            if (auto found = server_.live_.find(id_); found != server_.live_.end()) {
                found->second = Live{std::move(close), true};
            }
        }

      private:
        Impl& server_;
        std::uint64_t id_;
    };

    Awaitable<void> acceptLoop() {
        auto self = shared_from_this();
        for (;;) {
            auto [error, socket] = co_await acceptor_.async_accept(tupled);
            if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
                co_return;
            }
            if (error) {
                continue;  // the client gave up before we took it
            }
            if (live_.size() >= limits_.maxConnections) {
                closeQuietly(socket);
                continue;
            }
            auto shared = std::make_shared<tcp::socket>(std::move(socket));
            tasks_.spawn("serving a connection", [self, shared]() -> Awaitable<void> {
                co_await self->serveHTTP(std::move(*shared));
            });
        }
    }

    Awaitable<void> serveHTTP(tcp::socket socket) {
        auto self = shared_from_this();
        Registration registration(*this, [&socket] { closeQuietly(socket); });
        Deadline deadline(executor_, clock_);
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
            parser.body_limit(limits_.maxBodyBytes);
            deadline.arm(limits_.requestTimeout, [&socket] { closeQuietly(socket); });
            auto [readError, readSize] = co_await http::async_read(socket, buffer, parser, tupled);
            (void)readSize;
            if (readError) {
                if (const auto refusal = refusalOfUnreadable(readError)) {
                    Response response = responseOf(*refusal, false);
                    auto [ignored, written] = co_await http::async_write(socket, response, tupled);
                    (void)ignored;
                    (void)written;
                    co_await discardTheRest(socket);
                }
                break;
            }
            Request request = parser.release();
            if (websocket::is_upgrade(request)) {
                deadline.disarm();
                co_await serveRealtime(socket, std::move(request), registration);
                co_return;
            }
            const WebAPI::Reply reply = api_.handle(apiRequestOf(request));
            Diagnostics::log(std::string(request.method_string()) + " " +
                             std::string(request.target()) + " " + std::to_string(reply.status));
            deadline.disarm();
            co_await delay(reply.delay);
            deadline.arm(limits_.requestTimeout, [&socket] { closeQuietly(socket); });
            Response response = responseOf(reply, request.keep_alive());
            auto [writeError, written] = co_await http::async_write(socket, response, tupled);
            (void)written;
            if (writeError || !response.keep_alive()) {
                break;
            }
        }
        closeQuietly(socket);
    }

    // `socket` stays the caller's until the upgrade is accepted, so the registration's way of
    // closing it holds until then.
    Awaitable<void> serveRealtime(tcp::socket& socket, Request upgrade,
                                  Registration& registration) {
        if (const auto refusal = api_.refuseUpgrade(apiRequestOf(upgrade))) {
            Diagnostics::log("realtime upgrade refused with " + std::to_string(refusal->status));
            Response response = responseOf(*refusal, false);
            auto [ignored, written] = co_await http::async_write(socket, response, tupled);
            (void)ignored;
            (void)written;
            closeQuietly(socket);
            co_return;
        }
        websocket::stream<tcp::socket> ws(std::move(socket));
        registration.becomeRealtime([&ws] { closeQuietly(beast::get_lowest_layer(ws)); });
        ws.read_message_max(limits_.maxMessageBytes);
        ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "tessarin-devserver");
        }));
        auto [acceptError] = co_await ws.async_accept(upgrade, tupled);
        if (acceptError) {
            closeQuietly(beast::get_lowest_layer(ws));
            co_return;
        }
        Diagnostics::log("realtime session opened");
        Deadline dropTimer(executor_, clock_);
        if (const auto every = api_.switches().settings().dropEvery; every > Clock::Duration{}) {
            dropTimer.arm(every, [this, id = registration.id()] { drop(id); });
        }
        RealtimeStandIn standIn(api_.counters());
        beast::flat_buffer buffer;
        for (;;) {
            auto [readError, size] = co_await ws.async_read(buffer, tupled);
            (void)size;
            if (readError) {
                break;
            }
            const std::vector<JSONValue> replies =
                standIn.receive(beast::buffers_to_string(buffer.data()));
            buffer.consume(buffer.size());
            if (!replies.empty()) {
                co_await delay(api_.switches().settings().delay);
            }
            const bool sent = co_await sendAll(ws, replies);
            if (!sent) {
                break;
            }
        }
        Diagnostics::log("realtime session ended");
        closeQuietly(beast::get_lowest_layer(ws));
    }

    // A client still sending the body we refused would get a reset instead of our answer if we
    // closed now; so we stop sending and read what it sends, within limits, until it is done.
    Awaitable<void> discardTheRest(tcp::socket& socket) {
        constexpr std::size_t mostDiscarded = 64 * 1024 * 1024;
        Deadline deadline(executor_, clock_);
        deadline.arm(limits_.requestTimeout, [&socket] { closeQuietly(socket); });
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        std::vector<char> scratch(64 * 1024);
        for (std::size_t discarded = 0; discarded < mostDiscarded;) {
            auto [error, size] = co_await socket.async_read_some(asio::buffer(scratch), tupled);
            if (error) {
                break;
            }
            discarded += size;
        }
    }

    static Awaitable<bool> sendAll(websocket::stream<tcp::socket>& ws,
                                   const std::vector<JSONValue>& messages) {
        for (const JSONValue& message : messages) {
            const std::string text = message.serialized().value_or("{}");
            ws.text(true);
            auto [error, written] = co_await ws.async_write(asio::buffer(text), tupled);
            (void)written;
            if (error) {
                co_return false;
            }
        }
        co_return true;
    }

    Awaitable<void> delay(Clock::Duration duration) {
        if (duration > Clock::Duration{}) {
            co_await clock_->sleep(duration);
        }
    }

    // Ends a realtime connection without a close frame, as a network failure would.
    void drop(std::uint64_t id) {
        const auto found = live_.find(id);
        if (found == live_.end() || !found->second.realtime) {
            return;
        }
        ++api_.counters().connectionsDropped;
        api_.switches().connectionDropped(clock_->now());
        Diagnostics::log("realtime session dropped on purpose");
        found->second.close();
    }

    void dropRealtimeConnections() {
        std::vector<std::uint64_t> realtime;
        for (const auto& [id, connection] : live_) {
            if (connection.realtime) {
                realtime.push_back(id);
            }
        }
        for (const std::uint64_t id : realtime) {
            drop(id);
        }
    }

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    WebAPI& api_;
    Limits limits_;
    tcp::acceptor acceptor_;
    std::map<std::uint64_t, Live> live_;
    std::uint64_t lastID_ = 0;
    TaskGroup tasks_;
};

DevServer::DevServer(Token, Executor executor, std::shared_ptr<Clock> clock, WebAPI& api,
                     Limits limits)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(clock), api, limits)) {}

DevServer::~DevServer() {
    impl_->stop();
}

void DevServer::listen(std::uint16_t port) {
    impl_->listen(port);
}

std::uint16_t DevServer::port() const {
    return impl_->port();
}

std::string DevServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

void DevServer::stop() {
    impl_->stop();
}

}  // namespace tessarin
