#pragma once

#include <stdexcept>
#include <string>

namespace tessarin {

// Why an HTTP exchange produced no response. `what()` is a sentence for the user.
class HTTPTransportError : public std::runtime_error {
  public:
    enum class Kind {
        badURL,                  // not a URL the transport sends to (scheme, host, plain http
                                 // to an address that is not loopback)
        invalidRequest,          // a method or header that can't be sent as given (line breaks …)
        cannotConnect,           // name resolution or TCP connection failed
        secureConnectionFailed,  // TLS handshake failed, including an untrusted certificate
        timedOut,                // nothing moved for the request's inactivity limit
        connectionLost,          // the server closed or reset the connection mid-exchange
        responseTooLarge,        // the response head, body or chunk framing exceeds a limit
        badServerResponse,       // the bytes received are not an HTTP/1.x response
    };

    HTTPTransportError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

}  // namespace tessarin
