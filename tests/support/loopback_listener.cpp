#include "support/loopback_listener.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "support/test_certificates.hpp"

namespace tessarin::test {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

constexpr auto withErrorCode = asio::as_tuple(asio::use_awaitable);

// `tls` is held for as long as the connection lives.
asio::awaitable<void> handshake(
    tcp::socket socket, std::shared_ptr<ssl::context> tls,
    std::function<asio::awaitable<void>(LoopbackListener::Secure)> serve) {
    LoopbackListener::Secure stream(std::move(socket), *tls);
    auto [error] = co_await stream.async_handshake(ssl::stream_base::server, withErrorCode);
    if (!error) {
        co_await serve(std::move(stream));
    }
}

}  // namespace

LoopbackListener::LoopbackListener(asio::io_context& io, LoopbackSecurity security,
                                   const std::string& address)
    : acceptor(io, tcp::endpoint(asio::ip::make_address(address), 0)), address(address) {
    if (security != LoopbackSecurity::plain) {
        tls = TestCertificates::serverContext(security);
    }
}

asio::awaitable<void> LoopbackListener::acceptAll(
    std::function<asio::awaitable<void>(Plain)> plain,
    std::function<asio::awaitable<void>(Secure)> secure) {
    for (;;) {
        auto [error, socket] = co_await acceptor.async_accept(withErrorCode);
        if (error) {
            co_return;
        } else if (tls) {
            asio::co_spawn(acceptor.get_executor(), handshake(std::move(socket), tls, secure),
                           asio::detached);
        } else {
            asio::co_spawn(acceptor.get_executor(), plain(std::move(socket)), asio::detached);
        }
    }
}

std::string LoopbackListener::origin(const std::string& scheme) const {
    const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return scheme + "://" + host + ":" + std::to_string(acceptor.local_endpoint().port());
}

}  // namespace tessarin::test
