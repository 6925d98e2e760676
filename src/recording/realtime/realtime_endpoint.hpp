#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/api/transcription_token.hpp"

namespace tessarin {

// Where a realtime session connects. The web server that mints a transcription key may say where
// the key is to be used; that address is honoured only when it is a wss address, or a ws address of
// a loopback host name (a local development service), with the host written plainly. The socket
// checks again that a plain connection really goes to a loopback address, so a key is never sent
// in the clear.
namespace RealtimeEndpoint {

inline constexpr std::string_view defaultURL =
    "wss://api.openai.com/v1/realtime?intent=transcription";

// The token's address when the rule above accepts it, else the default.
std::string forToken(const TranscriptionToken& token);

// The address as a connection would use it, or nothing when the rule refuses it. Surrounding white
// space is ignored and an address without a scheme is taken as wss.
std::optional<std::string> accepted(std::string_view text);

}  // namespace RealtimeEndpoint

}  // namespace tessarin
