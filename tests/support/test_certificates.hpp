#pragma once

#include <string>

namespace tessarin::test {

// Certificates for the loopback TLS servers of the tests (made once with the openssl command,
// valid for a century). The server certificate names localhost, 127.0.0.1 and ::1.
struct TestCertificates {
    // The test certificate authority the clients under test are told to trust.
    static const std::string& authority();
    // The server's certificate chain and key, signed by authority().
    static const std::string& serverChain();
    static const std::string& serverKey();
    // A server certificate and key signed by another authority that nobody trusts.
    static const std::string& untrustedServerChain();
    static const std::string& untrustedServerKey();
};

}  // namespace tessarin::test
