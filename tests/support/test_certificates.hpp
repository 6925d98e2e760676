#pragma once

#include <memory>
#include <string>

namespace boost::asio::ssl {
class context;
}

namespace tessarin::test {

enum class LoopbackSecurity {
    plain,
    tls,           // certificate for the loopback names, signed by TestCertificates::authority()
    otherNameTLS,  // signed by that authority too, but for another host name
    untrustedTLS,  // certificate signed by an authority nobody trusts
};

// Certificates for the loopback TLS servers of the tests: made with fresh keys at first use and
// valid for a day.
struct TestCertificates {
    // The certificate authority (PEM) the clients under test are told to trust.
    static const std::string& authority();
    // A server context presenting the certificate `security` names (one of the TLS kinds).
    static std::shared_ptr<boost::asio::ssl::context> serverContext(LoopbackSecurity security);
};

}  // namespace tessarin::test
