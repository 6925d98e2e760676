#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tessarin {

// A short-lived credential for the realtime transcription service, minted by the web server.
struct TranscriptionToken {
    std::string value;
    std::chrono::system_clock::time_point expiresAt;
    std::optional<std::string> model;
    // Where the web server says the credential is to be used; only honoured when it is a wss
    // address, or a ws address of a loopback host.
    std::optional<std::string> url;

    bool operator==(const TranscriptionToken&) const = default;
};

}  // namespace tessarin
