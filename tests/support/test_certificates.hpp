#pragma once

#include <string>

namespace tessarin::test {

// Certificates (PEM) for the loopback TLS servers of the tests: made with fresh keys at first use
// and valid for a day.
struct TestCertificates {
    struct Server {
        std::string chain, key;
    };

    // The test certificate authority the clients under test are told to trust.
    static const std::string& authority() { return made().authority; }
    // Signed by authority() for localhost, 127.0.0.1 and ::1.
    static const Server& loopbackServer() { return made().loopback; }
    // Signed by authority() for elsewhere.example only.
    static const Server& otherNameServer() { return made().otherName; }
    // For localhost, 127.0.0.1 and ::1, signed by another authority that nobody trusts.
    static const Server& untrustedServer() { return made().untrusted; }

  private:
    struct Made {
        std::string authority;
        Server loopback, otherName, untrusted;
    };
    static const Made& made();
};

}  // namespace tessarin::test
