#include "support/realtime_test_server.hpp"

#include <deque>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/text/base64.hpp"

namespace tessarin::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

constexpr auto tupled = asio::as_tuple(asio::use_awaitable);

std::optional<std::string> typeOf(const std::optional<JSONValue>& message) {
    const JSONValue* type = message ? message->member("type") : nullptr;
    return type ? type->stringValue() : std::nullopt;
}

}  // namespace

std::vector<JSONValue> RealtimeTestServer::Connection::messagesOfType(std::string_view type) const {
    std::vector<JSONValue> found;
    for (const auto& text : messages) {
        if (auto message = JSONValue::parse(text); typeOf(message) == type) {
            found.push_back(*message);
        }
    }
    return found;
}

std::vector<std::uint8_t> RealtimeTestServer::Connection::appendedAudio() const {
    std::vector<std::uint8_t> audio;
    for (const auto& message : messagesOfType("input_audio_buffer.append")) {
        const JSONValue* encoded = message.member("audio");
        if (auto bytes = Base64::decode(encoded->stringValue().value_or(""))) {
            audio.insert(audio.end(), bytes->begin(), bytes->end());
        }
    }
    return audio;
}

namespace {

template <class Stream>
struct Live final : RealtimeTestServer::Connection, std::enable_shared_from_this<Live<Stream>> {
    explicit Live(Stream stream) : ws(std::move(stream)) {}
    websocket::stream<Stream> ws;
    std::deque<std::string> outbox;
    bool writing = false;
    bool silent = false;

    void drop() override {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
        ended = true;
    }
    void goSilent() override {
        silent = true;
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws).cancel(ignored);
    }
    void closeNormally() override {
        ws.async_close(websocket::close_code::normal,
                       [self = this->shared_from_this()](boost::system::error_code) {});
    }
    void send(std::string text) override {
        if (ended || silent) {
            return;
        }
        outbox.push_back(std::move(text));
        if (!std::exchange(writing, true)) {
            asio::co_spawn(ws.get_executor(), writeAll(this->shared_from_this()), asio::detached);
        }
    }
    static asio::awaitable<void> writeAll(std::shared_ptr<Live> self) {
        while (!self->outbox.empty() && !self->ended) {
            const std::string text = std::move(self->outbox.front());
            self->outbox.pop_front();
            auto [error, size] = co_await self->ws.async_write(asio::buffer(text), tupled);
            if (error) {
                break;
            }
        }
        self->writing = false;
    }
};

}  // namespace

struct RealtimeTestServer::State : std::enable_shared_from_this<State> {
    State(asio::io_context& io, Security security) : io(io), listener(io, security) {}

    asio::io_context& io;
    LoopbackListener listener;
    Script* script = nullptr;
    std::vector<std::shared_ptr<Connection>> connections;
    bool stopping = false;

    template <class Stream>
    asio::awaitable<void> serve(Stream stream) {
        auto self = shared_from_this();
        if (stopping) {
            co_return;
        }
        auto connection = std::make_shared<Live<Stream>>(std::move(stream));
        beast::flat_buffer buffer;
        http::request<http::string_body> upgrade;
        auto [readError, readSize] =
            co_await http::async_read(connection->ws.next_layer(), buffer, upgrade, tupled);
        if (readError || stopping) {
            co_return;
        }
        connection->authorization = std::string(upgrade[http::field::authorization]);
        connection->ws.read_message_max(64 * 1024 * 1024);
        auto [acceptError] = co_await connection->ws.async_accept(upgrade, tupled);
        if (acceptError || stopping) {
            co_return;
        }
        connections.push_back(connection);
        for (std::size_t commits = 0;;) {
            beast::flat_buffer incoming;
            auto [error, size] = co_await connection->ws.async_read(incoming, tupled);
            if (error || stopping) {
                if (!connection->silent && !stopping) {
                    if (connection->ws.reason().code != websocket::close_code::none ||
                        error == websocket::error::closed) {
                        connection->closeCode = static_cast<int>(connection->ws.reason().code);
                    }
                    connection->ended = true;
                }
                co_return;
            }
            std::string text = beast::buffers_to_string(incoming.data());
            connection->messages.push_back(text);
            if (script->onMessage) {
                script->onMessage(*connection, text);
            }
            const auto type = typeOf(JSONValue::parse(text));
            if (type == "session.update" && script->confirm) {
                connection->send(R"({"type":"session.updated"})");
            }
            if (type == "input_audio_buffer.commit" && script->acknowledgeCommits) {
                connection->send(R"({"type":"input_audio_buffer.committed","item_id":")" +
                                 itemID(++commits) + "\"}");
            }
        }
    }
};

RealtimeTestServer::RealtimeTestServer(asio::io_context& io, Security security)
    : state_(std::make_shared<State>(io, security)) {
    state_->script = &script;
    const auto serve = [state = state_](auto stream) { return state->serve(std::move(stream)); };
    asio::co_spawn(io, state_->listener.acceptAll(serve, serve), asio::detached);
}

RealtimeTestServer::~RealtimeTestServer() {
    state_->stopping = true;
    boost::system::error_code ignored;
    state_->listener.acceptor.close(ignored);
    for (auto& connection : state_->connections) {
        connection->drop();
    }
    // Lets the connections' coroutines see their sockets closed while the script still exists.
    state_->io.restart();
    state_->io.poll();
    state_->script = nullptr;
}

std::string RealtimeTestServer::url() const {
    return state_->listener.origin(state_->listener.tls ? "wss" : "ws") +
           "/v1/realtime?intent=transcription";
}

std::size_t RealtimeTestServer::connectionCount() const {
    return state_->connections.size();
}

RealtimeTestServer::Connection& RealtimeTestServer::connection(std::size_t index) const {
    return *state_->connections.at(index);
}

RealtimeTestServer::Connection& RealtimeTestServer::lastConnection() const {
    return *state_->connections.at(state_->connections.size() - 1);
}

}  // namespace tessarin::test
