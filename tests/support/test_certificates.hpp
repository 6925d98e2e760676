#pragma once

#include <string>

namespace tessarin::test {

// Certificates for the loopback TLS servers of the tests (made once with the openssl command,
// valid for a century; the authorities' keys were not kept).
struct TestCertificates {
    // The test certificate authority the clients under test are told to trust.
    static const std::string& authority();
    // Signed by authority() for localhost, 127.0.0.1 and ::1.
    static const std::string& serverChain();
    static const std::string& serverKey();
    // Signed by authority() for elsewhere.example only.
    static const std::string& otherNameChain();
    static const std::string& otherNameKey();
    // For localhost, 127.0.0.1 and ::1, signed by another authority that nobody trusts.
    static const std::string& untrustedServerChain();
    static const std::string& untrustedServerKey();
};

}  // namespace tessarin::test
