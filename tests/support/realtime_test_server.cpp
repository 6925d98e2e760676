#include "support/realtime_test_server.hpp"

#include <chrono>
#include <deque>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/text/base64.hpp"
#include "support/test_certificates.hpp"

namespace tessarin::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr auto tupled = asio::as_tuple(asio::use_awaitable);

std::optional<std::string> typeOf(const JSONValue& message) {
    const JSONValue* type = message.member("type");
    return type ? type->stringValue() : std::nullopt;
}

}  // namespace

std::vector<JSONValue> RealtimeTestServer::Connection::messagesOfType(std::string_view type) const {
    std::vector<JSONValue> found;
    for (const auto& text : messages) {
        if (auto message = JSONValue::parse(text); message && typeOf(*message) == type) {
            found.push_back(*message);
        }
    }
    return found;
}

std::vector<std::uint8_t> RealtimeTestServer::Connection::appendedAudio() const {
    std::vector<std::uint8_t> audio;
    for (const auto& message : messagesOfType("input_audio_buffer.append")) {
        const JSONValue* encoded = message.member("audio");
        auto bytes = encoded && encoded->stringValue() ? Base64::decode(*encoded->stringValue())
                                                       : std::nullopt;
        if (bytes) {
            audio.insert(audio.end(), bytes->begin(), bytes->end());
        }
    }
    return audio;
}

std::vector<std::string> RealtimeTestServer::Connection::types() const {
    std::vector<std::string> found;
    for (const auto& text : messages) {
        auto message = JSONValue::parse(text);
        found.push_back(message ? typeOf(*message).value_or("?") : "?");
    }
    return found;
}

void RealtimeTestServer::Connection::sendJSON(const JSONValue& message) {
    sendText(*message.serialized());
}

struct RealtimeTestServer::State : std::enable_shared_from_this<State> {
    State(asio::io_context& io, Security security)
        : io(io),
          security(security),
          acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        if (security != Security::plain) {
            tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
            const bool trusted = security == Security::tls;
            const std::string& chain = trusted ? TestCertificates::serverChain()
                                               : TestCertificates::untrustedServerChain();
            const std::string& key =
                trusted ? TestCertificates::serverKey() : TestCertificates::untrustedServerKey();
            tls->use_certificate_chain(asio::buffer(chain.data(), chain.size()));
            tls->use_private_key(asio::buffer(key.data(), key.size()), asio::ssl::context::pem);
        }
    }

    asio::io_context& io;
    Security security;
    tcp::acceptor acceptor;
    std::unique_ptr<asio::ssl::context> tls;
    Script* script = nullptr;
    std::size_t upgrades = 0;
    std::vector<std::shared_ptr<Connection>> connections;
    bool stopping = false;

    asio::awaitable<void> acceptLoop() {
        auto self = shared_from_this();
        for (;;) {
            auto [error, socket] = co_await acceptor.async_accept(tupled);
            if (error || stopping) {
                co_return;
            }
            socket.set_option(tcp::no_delay(true));
            if (security == Security::plain) {
                asio::co_spawn(io, serve<websocket::stream<tcp::socket>>(std::move(socket)),
                               asio::detached);
            } else {
                asio::co_spawn(
                    io, serve<websocket::stream<asio::ssl::stream<tcp::socket>>>(std::move(socket)),
                    asio::detached);
            }
        }
    }

    template <class Stream>
    struct Live final : Connection, std::enable_shared_from_this<Live<Stream>> {
        template <class... Args>
        explicit Live(Args&&... args) : ws(std::forward<Args>(args)...) {}
        Stream ws;
        std::deque<std::pair<std::string, bool>> outbox;
        bool writing = false;
        bool silent = false;

        void sendText(std::string text) override { queue(std::move(text), true); }
        void sendBinary(std::string bytes) override { queue(std::move(bytes), false); }
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
            auto self = this->shared_from_this();
            ws.async_close(websocket::close_code::normal, [self](boost::system::error_code) {});
        }

        void queue(std::string payload, bool text) {
            if (ended || silent) {
                return;
            }
            outbox.emplace_back(std::move(payload), text);
            if (!writing) {
                writing = true;
                asio::co_spawn(ws.get_executor(), writeAll(this->shared_from_this()),
                               asio::detached);
            }
        }

        static asio::awaitable<void> writeAll(std::shared_ptr<Live> self) {
            while (!self->outbox.empty() && !self->ended) {
                auto [payload, text] = std::move(self->outbox.front());
                self->outbox.pop_front();
                self->ws.text(text);
                auto [error, size] = co_await self->ws.async_write(asio::buffer(payload), tupled);
                (void)size;
                if (error) {
                    break;
                }
            }
            self->writing = false;
        }
    };

    template <class Stream>
    asio::awaitable<void> serve(tcp::socket socket) {
        auto self = shared_from_this();
        std::shared_ptr<Live<Stream>> connection;
        if constexpr (std::is_same_v<Stream, websocket::stream<tcp::socket>>) {
            connection = std::make_shared<Live<Stream>>(std::move(socket));
        } else {
            connection = std::make_shared<Live<Stream>>(std::move(socket), *tls);
            auto [error] = co_await connection->ws.next_layer().async_handshake(
                asio::ssl::stream_base::server, tupled);
            if (error) {
                co_return;
            }
        }
        beast::flat_buffer buffer;
        http::request<http::string_body> upgrade;
        auto [readError, readSize] =
            co_await http::async_read(connection->ws.next_layer(), buffer, upgrade, tupled);
        (void)readSize;
        if (readError || stopping) {
            co_return;
        }

        ++upgrades;
        if (script->stallUpgrades) {
            stalledConnections.push_back(connection);
            co_return;
        }
        if (script->refuseStatus) {
            http::response<http::string_body> refusal{
                static_cast<http::status>(*script->refuseStatus), upgrade.version()};
            refusal.set(http::field::content_type, "application/json");
            refusal.body() = R"({"error":{"message":"refused"}})";
            refusal.prepare_payload();
            refusal.keep_alive(false);
            co_await http::async_write(connection->ws.next_layer(), refusal, tupled);
            connection->drop();
            co_return;
        }
        connection->authorization = std::string(upgrade[http::field::authorization]);
        connection->target = std::string(upgrade.target());
        connection->ws.read_message_max(64 * 1024 * 1024);
        auto [acceptError] = co_await connection->ws.async_accept(upgrade, tupled);
        if (acceptError || stopping) {
            co_return;
        }
        connections.push_back(connection);
        std::size_t commits = 0;
        for (;;) {
            beast::flat_buffer incoming;
            auto [error, size] = co_await connection->ws.async_read(incoming, tupled);
            (void)size;
            if (error && connection->silent) {
                co_return;
            }
            if (error) {
                if (connection->ws.reason().code != websocket::close_code::none ||
                    error == websocket::error::closed) {
                    connection->closeCode = static_cast<int>(connection->ws.reason().code);
                }
                connection->ended = true;
                co_return;
            }
            if (stopping) {
                co_return;
            }
            std::string text = beast::buffers_to_string(incoming.data());
            connection->messages.push_back(text);
            answer(*connection, text, commits);
            if (script->onMessage) {
                script->onMessage(*connection, text);
            }
        }
    }

    void answer(Connection& connection, const std::string& text, std::size_t& commits) {
        auto message = JSONValue::parse(text);
        auto type = message ? typeOf(*message) : std::nullopt;
        if (type == "session.update" && script->confirm) {
            connection.sendJSON(JSONValue::object({{"type", "session.updated"}}));
        }
        if (type == "input_audio_buffer.commit" && script->acknowledgeCommits) {
            connection.sendJSON(JSONValue::object(
                {{"type", "input_audio_buffer.committed"}, {"item_id", itemID(++commits)}}));
        }
    }

    std::vector<std::shared_ptr<Connection>> stalledConnections;
};

RealtimeTestServer::RealtimeTestServer(asio::io_context& io, Security security)
    : state_(std::make_shared<State>(io, security)) {
    state_->script = &script;
    asio::co_spawn(io, state_->acceptLoop(), asio::detached);
}

RealtimeTestServer::~RealtimeTestServer() {
    state_->stopping = true;
    boost::system::error_code ignored;
    state_->acceptor.close(ignored);
    for (auto& connection : state_->connections) {
        connection->drop();
    }
    for (auto& connection : state_->stalledConnections) {
        connection->drop();
    }
    // Lets the connections' coroutines see their sockets closed while the script still exists.
    state_->io.restart();
    state_->io.poll();
    state_->script = nullptr;
}

std::string RealtimeTestServer::url() const {
    const char* scheme = state_->security == Security::plain ? "ws" : "wss";
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port()) +
           "/v1/realtime?intent=transcription";
}

std::uint16_t RealtimeTestServer::port() const {
    return state_->acceptor.local_endpoint().port();
}

std::size_t RealtimeTestServer::upgradeCount() const {
    return state_->upgrades;
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

std::string RealtimeTestServer::itemID(std::size_t number) {
    return "item_" + std::to_string(number);
}

}  // namespace tessarin::test
