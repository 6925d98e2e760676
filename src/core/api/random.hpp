#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessarin {

// Secure random data. A failing random source stops the process: there is no weaker fallback.
namespace Random {

std::vector<std::uint8_t> bytes(std::size_t count);
// Base64URL of `count` random bytes.
std::string token(std::size_t count);

}  // namespace Random

}  // namespace tessarin
