#pragma once

#include <string>

namespace tessarin::test {

struct TestCertificates {
    // The certificate authority (PEM) the clients under test are told to trust. It signs the
    // loopback servers' certificates (support/loopback_listener.cpp): made with fresh keys at first
    // use and valid for a day.
    static const std::string& authority();
};

}  // namespace tessarin::test
