#include "core/net/web_socket_realtime_socket.hpp"

#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/system/system_error.hpp>

#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"
#include "core/http/url.hpp"
#include "core/net/permitted_endpoints.hpp"
#include "core/net/tls_client.hpp"
#include "core/text/unicode_text.hpp"

namespace tessarin {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

constexpr auto awaitable = asio::use_awaitable_t<Executor>{};
constexpr auto tupled = asio::as_tuple(asio::use_awaitable_t<Executor>{});

// The parts of a ws/wss address a connection needs.
struct Target {
    bool secure = false;
    std::string host;  // without IPv6 brackets
    std::string port;
    std::string hostHeader;
    std::string resource;  // path and query
};

Target targetOf(std::string_view text) {
    const auto url = URL::parse(text);
    const std::string scheme = url ? url->scheme() : std::string();
    if (scheme != "wss" && scheme != "ws") {
        throw std::invalid_argument("Not a WebSocket address: " + std::string(text));
    }
    if (url->host().empty()) {
        throw std::invalid_argument("Not a plain host name in " + std::string(text));
    }
    return Target{scheme == "wss", url->host(), std::to_string(url->port()), url->hostHeader(),
                  url->target()};
}

using PlainStream = websocket::stream<tcp::socket>;
using SecureStream = websocket::stream<asio::ssl::stream<tcp::socket>>;

template <class Stream>
class BeastRealtimeSocket final : public RealtimeSocket,
                                  public SharedObject<BeastRealtimeSocket<Stream>> {
    using Token = typename SharedObject<BeastRealtimeSocket>::Token;

  public:
    BeastRealtimeSocket(Token, const Executor& executor, std::shared_ptr<Clock> clock,
                        std::shared_ptr<asio::ssl::context> tls, RealtimeRequest request,
                        std::optional<Target> target, std::string targetProblem)
        : executor_(executor),
          clock_(std::move(clock)),
          tls_(std::move(tls)),
          request_(std::move(request)),
          target_(std::move(target)),
          targetProblem_(std::move(targetProblem)),
          resolver_(executor),
          ws_(makeStream(executor, tls_)),
          settled_(executor),
          upgradeLimit_(executor, clock_),
          idleLimit_(executor, clock_),
          closeLimit_(executor, clock_),
          tasks_(executor) {}

    BeastRealtimeSocket(const BeastRealtimeSocket&) = delete;
    BeastRealtimeSocket& operator=(const BeastRealtimeSocket&) = delete;

    void start() {
        upgradeLimit_.arm(request_.upgradeTimeout, [this] { dropConnection(); });
        tasks_.spawn("the WebSocket connection",
                     [self = this->shared_from_this()] { return self->openConnection(); });
    }

    void send(std::string text, SendCompletion completion) override {
        if (state_ == State::failed || state_ == State::closed) {
            post(std::move(completion), stateDescription());
            return;
        }
        if (outboxBytes_ + text.size() > WebSocketRealtimeSocket::maxOutboxBytes) {
            // The peer has stopped taking data; holding more would only grow memory.
            post(std::move(completion), "The connection is not keeping up");
            return;
        }
        outboxBytes_ += text.size();
        outbox_.push_back({std::move(text), std::move(completion)});
        if (state_ == State::open) {
            startWriting();
        }
    }

    Awaitable<std::string> receive() override {
        auto self = this->shared_from_this();
        co_await settled_.wait();
        if (state_ == State::failed && !openedOnce_) {
            // The refusal reaches the caller first; the messages that waited for it fail after.
            releaseHeldFailures();
            throw boost::system::system_error(failure_, failureText_);
        }
        if (state_ != State::open) {
            throw boost::system::system_error(asio::error::operation_aborted, stateDescription());
        }
        beast::flat_buffer buffer;
        // The read is not cancelled with the caller: Beast fails the whole stream when a read is
        // cancelled, which would cut a close handshake short. It ends when the connection does,
        // and close() sees to that.
        auto [error, size] = co_await ws_.async_read(
            buffer, asio::bind_cancellation_slot(asio::cancellation_slot(), tupled));
        (void)size;
        if (error) {
            connectionEnded(error, "The connection ended: " + error.message());
            throw boost::system::system_error(error, stateDescription());
        }
        idleLimit_.restart();
        std::string text = beast::buffers_to_string(buffer.data());
        if (!ws_.got_text()) {
            text = UnicodeText::repairUTF8(text);
        }
        co_return text;
    }

    void close() override {
        if (state_ == State::closed) {
            return;
        }
        const State previous = state_;
        state_ = State::closed;
        upgradeLimit_.disarm();
        idleLimit_.disarm();
        failOutbox();
        releaseHeldFailures();
        settled_.resume();
        if (previous == State::open) {
            tasks_.spawn("the WebSocket close",
                         [self = this->shared_from_this()] { return self->closeHandshake(); });
        } else {
            dropConnection();
        }
    }

    std::optional<int> httpStatus() const override { return status_; }

  private:
    enum class State { opening, open, failed, closed };

    struct Outgoing {
        std::string text;
        SendCompletion completion;
    };

    static Stream makeStream(const Executor& executor,
                             const std::shared_ptr<asio::ssl::context>& tls) {
        if constexpr (std::is_same_v<Stream, SecureStream>) {
            return Stream(executor, *tls);
        } else {
            return Stream(executor);
        }
    }

    Awaitable<void> openConnection() {
        websocket::response_type response;
        try {
            if (!target_) {
                throw std::invalid_argument(targetProblem_);
            }
            auto resolved =
                co_await resolver_.async_resolve(target_->host, target_->port, awaitable);
            ensureOpening();
            const auto permitted = PermittedEndpoints::of(resolved, !target_->secure);
            if (permitted.endpoints.empty()) {
                throw std::runtime_error(
                    "Plain WebSocket connections are only made to this "
                    "computer, not to " +
                    permitted.refused);
            }
            co_await asio::async_connect(beast::get_lowest_layer(ws_), permitted.endpoints,
                                         awaitable);
            ensureOpening();
            // Audio and pings are small messages that should leave at once, not wait for the
            // acknowledgement of the previous segment.
            beast::get_lowest_layer(ws_).set_option(tcp::no_delay(true));
            if constexpr (std::is_same_v<Stream, SecureStream>) {
                TLSClient::prepareConnection(ws_.next_layer().native_handle(), target_->host);
                co_await ws_.next_layer().async_handshake(asio::ssl::stream_base::client,
                                                          awaitable);
                ensureOpening();
            }
            configureStream();
            auto [error] = co_await ws_.async_handshake(response, target_->hostHeader,
                                                        target_->resource, tupled);
            // The response is only filled in when one was read: then the handshake either
            // succeeded or failed on what the response said (a websocket error).
            const auto& responseErrors =
                websocket::make_error_code(websocket::error::upgrade_declined).category();
            if (!error || error.category() == responseErrors) {
                status_ = static_cast<int>(response.result_int());
            }
            if (error) {
                throw boost::system::system_error(error);
            }
            ensureOpening();
        } catch (const std::exception& failure) {
            openingFailed(failure);
            co_return;
        }
        state_ = State::open;
        openedOnce_ = true;
        upgradeLimit_.disarm();
        settled_.resume();
        idleLimit_.arm(WebSocketRealtimeSocket::idleLimit, [this] {
            connectionEnded(asio::error::timed_out, "The connection went silent");
            dropConnection();
        });
        tasks_.spawn("the WebSocket keep-alive", [weak = this->weak_from_this(), clock = clock_] {
            return keepAlive(weak, clock);
        });
        startWriting();
    }

    // A close or the upgrade time-out may land between two steps of the opening.
    void ensureOpening() const {
        if (state_ != State::opening || upgradeLimit_.expired()) {
            throw boost::system::system_error(asio::error::operation_aborted);
        }
    }

    void configureStream() {
        ws_.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                       websocket::stream_base::none(), false});
        ws_.set_option(websocket::stream_base::decorator(
            [authorization = request_.authorization](websocket::request_type& upgrade) {
                upgrade.set(beast::http::field::authorization, authorization);
                upgrade.set(beast::http::field::user_agent, "tessarin-helper");
            }));
        // Pongs (and any other control frame) show that the peer is still there.
        ws_.control_callback(
            [this](websocket::frame_type, beast::string_view) { idleLimit_.restart(); });
        ws_.read_message_max(WebSocketRealtimeSocket::maxMessageBytes);
        ws_.auto_fragment(false);
        ws_.text(true);
    }

    static Awaitable<void> keepAlive(std::weak_ptr<BeastRealtimeSocket> weak,
                                     std::shared_ptr<Clock> clock) {
        for (;;) {
            co_await clock->sleep(WebSocketRealtimeSocket::pingInterval);
            auto self = weak.lock();
            if (!self || self->state_ != State::open) {
                co_return;
            }
            const websocket::ping_data payload;
            auto [error] = co_await self->ws_.async_ping(payload, tupled);
            if (error) {
                co_return;  // the reading side reports the end of the connection
            }
        }
    }

    void openingFailed(const std::exception& failure) {
        if (state_ == State::closed) {
            return;
        }
        state_ = State::failed;
        if (upgradeLimit_.expired()) {
            failure_ = asio::error::timed_out;
            failureText_ = "The WebSocket upgrade timed out";
        } else if (auto system = dynamic_cast<const boost::system::system_error*>(&failure)) {
            failure_ = system->code();
            failureText_ = system->what();
        } else {
            failure_ = asio::error::connection_refused;
            failureText_ = failure.what();
        }
        upgradeLimit_.disarm();
        for (auto& outgoing : outbox_) {
            heldFailures_.push_back(std::move(outgoing.completion));
        }
        outbox_.clear();
        outboxBytes_ = 0;
        dropConnection();
        settled_.resume();
    }

    // The open connection is gone (read or write failed, or the peer went silent).
    void connectionEnded(boost::system::error_code error, std::string description) {
        if (state_ != State::open) {
            return;
        }
        state_ = State::failed;
        failure_ = error;
        failureText_ = std::move(description);
        idleLimit_.disarm();
        failOutbox();
    }

    void dropConnection() {
        resolver_.cancel();
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).close(ignored);
    }

    void startWriting() {
        if (writing_ || outbox_.empty()) {
            return;
        }
        writing_ = true;
        tasks_.spawn("the WebSocket writes",
                     [self = this->shared_from_this()] { return self->writeOutbox(); });
    }

    // One write at a time, in the order the messages were sent.
    Awaitable<void> writeOutbox() {
        while (state_ == State::open && !outbox_.empty()) {
            Outgoing outgoing = std::move(outbox_.front());
            outbox_.pop_front();
            outboxBytes_ -= outgoing.text.size();
            auto [error, size] = co_await ws_.async_write(asio::buffer(outgoing.text), tupled);
            (void)size;
            if (error) {
                if (outgoing.completion) {
                    outgoing.completion("The message could not be written: " + error.message());
                }
                connectionEnded(error, "The connection ended: " + error.message());
                break;
            }
            if (outgoing.completion) {
                outgoing.completion(std::nullopt);
            }
        }
        writing_ = false;
        if (state_ == State::open) {
            startWriting();  // a completion may have sent more
        }
    }

    Awaitable<void> closeHandshake() {
        closeLimit_.arm(WebSocketRealtimeSocket::closeTimeout, [this] { dropConnection(); });
        auto [error] = co_await ws_.async_close(websocket::close_code::normal, tupled);
        (void)error;
        closeLimit_.disarm();
        dropConnection();
    }

    void failOutbox() {
        for (auto& outgoing : outbox_) {
            post(std::move(outgoing.completion), stateDescription());
        }
        outboxBytes_ = 0;
        outbox_.clear();
    }

    void releaseHeldFailures() {
        for (auto& completion : heldFailures_) {
            post(std::move(completion), failureText_);
        }
        heldFailures_.clear();
    }

    void post(SendCompletion completion, std::string error) {
        if (completion) {
            asio::post(executor_, [completion = std::move(completion), error = std::move(error)] {
                completion(error);
            });
        }
    }

    std::string stateDescription() const {
        if (state_ == State::closed) {
            return "The WebSocket was closed";
        }
        return failureText_.empty() ? "The WebSocket is not open" : failureText_;
    }

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    std::shared_ptr<asio::ssl::context> tls_;
    RealtimeRequest request_;
    std::optional<Target> target_;
    std::string targetProblem_;
    tcp::resolver resolver_;
    Stream ws_;

    State state_ = State::opening;
    bool openedOnce_ = false;
    OneShot<void> settled_;
    std::optional<int> status_;
    boost::system::error_code failure_;
    std::string failureText_;

    std::deque<Outgoing> outbox_;
    std::size_t outboxBytes_ = 0;
    bool writing_ = false;
    std::vector<SendCompletion> heldFailures_;

    Deadline upgradeLimit_;
    // Restarted by every frame received; see `idleLimit`.
    Deadline idleLimit_;
    Deadline closeLimit_;
    TaskGroup tasks_;
};

template <class Stream>
std::shared_ptr<RealtimeSocket> started(std::shared_ptr<BeastRealtimeSocket<Stream>> socket) {
    socket->start();
    return socket;
}

}  // namespace

namespace WebSocketRealtimeSocket {

std::shared_ptr<RealtimeSocket> open(const Executor& executor, std::shared_ptr<Clock> clock,
                                     std::shared_ptr<asio::ssl::context> tls,
                                     RealtimeRequest request) {
    std::optional<Target> target;
    std::string targetProblem;
    try {
        target = targetOf(request.url);
    } catch (const std::invalid_argument& problem) {
        // Reported through receive(), like every other failure to connect.
        targetProblem = problem.what();
    }
    if (target && target->secure) {
        if (!tls) {
            tls = TLSClient::makeContext();
        }
        return started(BeastRealtimeSocket<SecureStream>::create(
            executor, std::move(clock), std::move(tls), std::move(request), std::move(target), ""));
    }
    return started(BeastRealtimeSocket<PlainStream>::create(executor, std::move(clock), nullptr,
                                                            std::move(request), std::move(target),
                                                            std::move(targetProblem)));
}

RealtimeSocketFactory factory(const Executor& executor, std::shared_ptr<Clock> clock,
                              std::shared_ptr<asio::ssl::context> tls) {
    return [executor, clock = std::move(clock), tls = std::move(tls)](RealtimeRequest request) {
        return open(executor, clock, tls, std::move(request));
    };
}

}  // namespace WebSocketRealtimeSocket

}  // namespace tessarin
