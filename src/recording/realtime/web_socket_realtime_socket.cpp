#include "recording/realtime/web_socket_realtime_socket.hpp"

#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
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
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include "core/async/one_shot.hpp"
#include "core/async/task.hpp"
#include "core/net/tls_client.hpp"
#include "core/text/unicode_text.hpp"
#include "recording/realtime/realtime_endpoint.hpp"
#include "recording/realtime/task_stopping.hpp"

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

Target targetOf(const std::string& text) {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed) {
        throw std::invalid_argument("Not a WebSocket address: " + text);
    }
    const boost::urls::url_view url = *parsed;
    Target target;
    const std::string scheme = url.scheme();
    if (scheme != "wss" && scheme != "ws") {
        throw std::invalid_argument("Not a WebSocket address: " + text);
    }
    target.secure = scheme == "wss";
    target.host = url.host_address();
    if (target.host.empty()) {
        throw std::invalid_argument("No host in " + text);
    }
    target.port = url.has_port() ? std::string(url.port()) : (target.secure ? "443" : "80");
    target.hostHeader = url.encoded_host_and_port();
    target.resource = url.encoded_path().empty() ? "/" : std::string(url.encoded_path());
    if (url.has_query()) {
        target.resource += "?" + std::string(url.encoded_query());
    }
    return target;
}

using PlainStream = websocket::stream<tcp::socket>;
using SecureStream = websocket::stream<asio::ssl::stream<tcp::socket>>;

template <class Stream>
class BeastRealtimeSocket final : public RealtimeSocket,
                                  public std::enable_shared_from_this<BeastRealtimeSocket<Stream>> {
  public:
    BeastRealtimeSocket(const Executor& executor, std::shared_ptr<Clock> clock,
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
          settled_(executor) {}

    BeastRealtimeSocket(const BeastRealtimeSocket&) = delete;
    BeastRealtimeSocket& operator=(const BeastRealtimeSocket&) = delete;

    void start() {
        auto self = this->shared_from_this();
        std::weak_ptr<BeastRealtimeSocket> weak = self;
        upgradeTimer_ = Task<>::spawn(
            executor_, "the WebSocket upgrade timer",
            [weak, clock = clock_, timeout = request_.upgradeTimeout]() -> Awaitable<void> {
                co_await clock->sleep(timeout);
                if (auto socket = weak.lock()) {
                    socket->abandonOpening();
                }
            });
        Task<>::spawn(executor_, "the WebSocket connection",
                      [self]() -> Awaitable<void> { co_await self->openConnection(); });
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
        auto [error, size] = co_await ws_.async_read(buffer, tupled);
        (void)size;
        if (error) {
            if (state_ == State::open) {
                state_ = State::failed;
                failure_ = error;
                failureText_ = "The connection ended: " + error.message();
                failOutbox();
            }
            throw boost::system::system_error(error, stateDescription());
        }
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
        stopTask(upgradeTimer_);
        failOutbox();
        releaseHeldFailures();
        settled_.resume();
        if (previous == State::open) {
            auto self = this->shared_from_this();
            Task<>::spawn(executor_, "the WebSocket close",
                          [self]() -> Awaitable<void> { co_await self->closeHandshake(); });
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
            if (!target_->secure && !RealtimeEndpoint::isLoopbackHost(target_->host)) {
                throw std::runtime_error(
                    "Plain WebSocket connections are only made to this computer");
            }
            auto endpoints =
                co_await resolver_.async_resolve(target_->host, target_->port, awaitable);
            ensureOpening();
            co_await asio::async_connect(beast::get_lowest_layer(ws_), endpoints, awaitable);
            ensureOpening();
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
        stopTask(upgradeTimer_);
        settled_.resume();
        startWriting();
    }

    // A close or the upgrade time-out may land between two steps of the opening.
    void ensureOpening() const {
        if (state_ != State::opening) {
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
        ws_.read_message_max(WebSocketRealtimeSocket::maxMessageBytes);
        ws_.auto_fragment(false);
        ws_.text(true);
    }

    void openingFailed(const std::exception& failure) {
        if (state_ == State::closed) {
            return;
        }
        state_ = State::failed;
        if (timedOut_) {
            failure_ = asio::error::timed_out;
            failureText_ = "The WebSocket upgrade timed out";
        } else if (auto system = dynamic_cast<const boost::system::system_error*>(&failure)) {
            failure_ = system->code();
            failureText_ = system->what();
        } else {
            failure_ = asio::error::connection_refused;
            failureText_ = failure.what();
        }
        stopTask(upgradeTimer_);
        for (auto& outgoing : outbox_) {
            heldFailures_.push_back(std::move(outgoing.completion));
        }
        outbox_.clear();
        outboxBytes_ = 0;
        dropConnection();
        settled_.resume();
    }

    void abandonOpening() {
        if (state_ != State::opening) {
            return;
        }
        timedOut_ = true;
        dropConnection();
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
        auto self = this->shared_from_this();
        Task<>::spawn(executor_, "the WebSocket writes",
                      [self]() -> Awaitable<void> { co_await self->writeOutbox(); });
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
                if (state_ == State::open) {
                    state_ = State::failed;
                    failure_ = error;
                    failureText_ = "The connection ended: " + error.message();
                }
                failOutbox();
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
        std::weak_ptr<BeastRealtimeSocket> weak = this->shared_from_this();
        auto deadline = Task<>::spawn(
            executor_, "the WebSocket close timer", [weak, clock = clock_]() -> Awaitable<void> {
                co_await clock->sleep(WebSocketRealtimeSocket::closeTimeout);
                if (auto socket = weak.lock()) {
                    socket->dropConnection();
                }
            });
        auto [error] = co_await ws_.async_close(websocket::close_code::normal, tupled);
        (void)error;
        deadline.cancel();
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
    bool timedOut_ = false;
    OneShot<void> settled_;
    std::optional<int> status_;
    boost::system::error_code failure_;
    std::string failureText_;
    Task<> upgradeTimer_;

    std::deque<Outgoing> outbox_;
    std::size_t outboxBytes_ = 0;
    bool writing_ = false;
    std::vector<SendCompletion> heldFailures_;
};

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
        auto socket = std::make_shared<BeastRealtimeSocket<SecureStream>>(
            executor, std::move(clock), std::move(tls), std::move(request), std::move(target), "");
        socket->start();
        return socket;
    }
    auto socket = std::make_shared<BeastRealtimeSocket<PlainStream>>(
        executor, std::move(clock), nullptr, std::move(request), std::move(target),
        std::move(targetProblem));
    socket->start();
    return socket;
}

RealtimeSocketFactory factory(const Executor& executor, std::shared_ptr<Clock> clock,
                              std::shared_ptr<asio::ssl::context> tls) {
    return [executor, clock = std::move(clock), tls = std::move(tls)](RealtimeRequest request) {
        return open(executor, clock, tls, std::move(request));
    };
}

}  // namespace WebSocketRealtimeSocket

}  // namespace tessarin
