#pragma once

#include <cstddef>
#include <string>

namespace tessarin::test {

// Certificates (PEM) for the loopback TLS servers of the tests: made with fresh keys at first use
// and valid for a day.
struct TestCertificates {
    // The test certificate authority the clients under test are told to trust.
    static const std::string& authority() { return made(0); }
    // Signed by authority() for localhost, 127.0.0.1 and ::1.
    static const std::string& serverChain() { return made(1); }
    static const std::string& serverKey() { return made(2); }
    // Signed by authority() for elsewhere.example only.
    static const std::string& otherNameChain() { return made(3); }
    static const std::string& otherNameKey() { return made(4); }
    // For localhost, 127.0.0.1 and ::1, signed by another authority that nobody trusts.
    static const std::string& untrustedServerChain() { return made(5); }
    static const std::string& untrustedServerKey() { return made(6); }

  private:
    static const std::string& made(std::size_t index);
};

}  // namespace tessarin::test
