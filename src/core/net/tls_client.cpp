#include "core/net/tls_client.hpp"

#include <stdexcept>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>

namespace tessarin::TLSClient {

std::shared_ptr<boost::asio::ssl::context> makeContext(
    const std::optional<std::string>& extraAuthorityPEM) {
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                         ssl::context::no_tlsv1_1);
    context->set_default_verify_paths();
    if (extraAuthorityPEM) {
        context->add_certificate_authority(
            boost::asio::buffer(extraAuthorityPEM->data(), extraAuthorityPEM->size()));
    }
    context->set_verify_mode(ssl::verify_peer);
    return context;
}

void prepareConnection(ssl_st* connection, const std::string& host) {
    boost::system::error_code notAnAddress;
    boost::asio::ip::make_address(host, notAnAddress);
    X509_VERIFY_PARAM* checks = SSL_get0_param(connection);
    if (!notAnAddress) {
        // IP literals are checked against the certificate's IP entries; SNI carries names only.
        if (X509_VERIFY_PARAM_set1_ip_asc(checks, host.c_str()) != 1) {
            throw std::runtime_error("Can't check the certificate of " + host);
        }
        return;
    }
    if (SSL_set_tlsext_host_name(connection, host.c_str()) != 1) {
        throw std::runtime_error("Can't send the server name " + host);
    }
    X509_VERIFY_PARAM_set_hostflags(checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(checks, host.c_str(), host.size()) != 1) {
        throw std::runtime_error("Can't check the certificate of " + host);
    }
}

}  // namespace tessarin::TLSClient
