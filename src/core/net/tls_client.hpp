#pragma once

#include <memory>
#include <optional>
#include <string>

// Kept as declarations so that this header stays light; the OpenSSL and Asio SSL headers are only
// needed by the few files that open TLS connections.
namespace boost::asio::ssl {
class context;
}
struct ssl_st;

namespace tessarin {

// How the helper's HTTPS and WSS clients set up TLS: peers are verified against the system's
// certificate authorities (plus, for tests and local servers, one extra authority given as PEM),
// and every connection sends SNI and checks the certificate against the host it dialled.
namespace TLSClient {

std::shared_ptr<boost::asio::ssl::context> makeContext(
    const std::optional<std::string>& extraAuthorityPEM = std::nullopt);

// Prepares one connection before its handshake: SNI for host names, and the host name or IP
// address the peer's certificate must carry. Throws std::runtime_error when OpenSSL refuses.
void prepareConnection(ssl_st* connection, const std::string& host);

}  // namespace TLSClient

}  // namespace tessarin
