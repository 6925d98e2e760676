#include "core/api/random.hpp"

#include <cstdio>
#include <cstdlib>

#include <openssl/rand.h>

#include "core/text/base64_url.hpp"

namespace tessarin::Random {

std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    // RAND_bytes takes an int; fill in pieces that always fit.
    constexpr std::size_t piece = 1 << 20;
    for (std::size_t offset = 0; offset < count; offset += piece) {
        const std::size_t length = std::min(piece, count - offset);
        if (RAND_bytes(out.data() + offset, static_cast<int>(length)) != 1) {
            std::fputs("tessarin-helper: the secure random source failed\n", stderr);
            std::abort();
        }
    }
    return out;
}

std::string token(std::size_t count) {
    return Base64URL::encode(bytes(count));
}

}  // namespace tessarin::Random
