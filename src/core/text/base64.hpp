#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

// Base64 with the standard alphabet and "=" padding.
namespace Base64 {

std::string encode(std::span<const std::uint8_t> bytes);
inline std::string encode(std::string_view text) {
    return encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}
// Nothing when the text is not padded standard base64.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

}  // namespace Base64

}  // namespace tessarin
