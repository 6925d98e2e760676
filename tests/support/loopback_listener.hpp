#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "support/test_certificates.hpp"

namespace tessarin::test {

// What the loopback servers share: a port on a loopback address, and an accept loop that hands
// each connection (after the TLS handshake, when the security asks for one) to a coroutine.
struct LoopbackListener {
    LoopbackListener(boost::asio::io_context& io, LoopbackSecurity security,
                     const std::string& address = "127.0.0.1");

    // "<scheme>://<address>:<port>" with the address bracketed when it is an IPv6 one.
    std::string origin(const std::string& scheme) const;

    using Plain = boost::asio::ip::tcp::socket;
    using Secure = boost::asio::ssl::stream<Plain>;
    // Hands every connection to `plain`, or over TLS, once its handshake succeeded, to `secure`,
    // until the acceptor closes.
    boost::asio::awaitable<void> acceptAll(
        std::function<boost::asio::awaitable<void>(Plain)> plain,
        std::function<boost::asio::awaitable<void>(Secure)> secure);

    boost::asio::ip::tcp::acceptor acceptor;
    std::string address;
    std::shared_ptr<boost::asio::ssl::context> tls;  // none for plain connections
};

}  // namespace tessarin::test
