#include "core/text/base64_url.hpp"

#include "core/text/base64.hpp"

namespace tessarin::Base64URL {

std::string encode(std::span<const std::uint8_t> bytes) {
    std::string text = Base64::encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '+') {
            c = '-';
        } else if (c == '/') {
            c = '_';
        }
    }
    return text;
}

}  // namespace tessarin::Base64URL
