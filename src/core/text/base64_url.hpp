#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessarin {

// Base64 with the URL-safe alphabet ("-" and "_") and no "=" padding (RFC 4648 base64url).
namespace Base64URL {

std::string encode(std::span<const std::uint8_t> bytes);

}  // namespace Base64URL

}  // namespace tessarin
