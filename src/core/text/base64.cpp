#include "core/text/base64.hpp"

#include <openssl/evp.h>

namespace tessarin::Base64 {

std::string encode(std::span<const std::uint8_t> bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    // EVP_EncodeBlock takes an int length; audio pieces are far below that, so encode in blocks
    // that keep every call well inside it and on a 3-byte boundary.
    constexpr std::size_t block = 3 * (1 << 20);
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < bytes.size(); offset += block) {
        const std::size_t length = std::min(block, bytes.size() - offset);
        written += EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                   bytes.data() + offset, static_cast<int>(length));
    }
    out.resize(written);
    return out;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    std::size_t written = 0;
    constexpr std::size_t block = 4 * (1 << 20);
    for (std::size_t offset = 0; offset < text.size(); offset += block) {
        const std::size_t length = std::min(block, text.size() - offset);
        const int n = EVP_DecodeBlock(out.data() + written,
                                      reinterpret_cast<const unsigned char*>(text.data() + offset),
                                      static_cast<int>(length));
        if (n < 0) {
            return std::nullopt;
        }
        written += static_cast<std::size_t>(n);
    }
    // EVP_DecodeBlock counts padding as zero bytes; take them back off.
    if (!text.empty() && text.back() == '=') {
        written -= (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
    }
    out.resize(written);
    return out;
}

}  // namespace tessarin::Base64
