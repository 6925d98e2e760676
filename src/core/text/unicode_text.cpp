#include "core/text/unicode_text.hpp"

#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace tessarin::UnicodeText {

namespace {

// Decodes the code point at `offset`; a negative result marks an ill-formed sequence. Advances
// `offset` past what was read either way.
UChar32 nextCodePoint(std::string_view text, int32_t& offset) {
    UChar32 c;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    U8_NEXT(bytes, offset, static_cast<int32_t>(text.size()), c);
    return c;
}

UChar32 previousCodePoint(std::string_view text, int32_t& offset) {
    UChar32 c;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    U8_PREV(bytes, 0, offset, c);
    return c;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    for (int32_t offset = 0; offset < static_cast<int32_t>(text.size());) {
        if (nextCodePoint(text, offset) < 0) {
            return false;
        }
    }
    return true;
}

std::string repairUTF8(std::string_view text) {
    if (isValidUTF8(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    for (int32_t offset = 0; offset < static_cast<int32_t>(text.size());) {
        const int32_t start = offset;
        if (nextCodePoint(text, offset) < 0) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(text.substr(start, offset - start));
        }
    }
    return out;
}

std::string_view trimWhitespace(std::string_view text) {
    int32_t begin = 0;
    while (begin < static_cast<int32_t>(text.size())) {
        int32_t next = begin;
        const UChar32 c = nextCodePoint(text, next);
        if (c < 0 || !u_isUWhiteSpace(c)) {
            break;
        }
        begin = next;
    }
    int32_t end = static_cast<int32_t>(text.size());
    while (end > begin) {
        int32_t previous = end;
        const UChar32 c = previousCodePoint(text, previous);
        if (c < 0 || !u_isUWhiteSpace(c)) {
            break;
        }
        end = previous;
    }
    return text.substr(begin, end - begin);
}

bool isBlank(std::string_view text) {
    return trimWhitespace(text).empty();
}

std::vector<std::string_view> splitWhitespace(std::string_view text) {
    std::vector<std::string_view> pieces;
    int32_t pieceStart = -1;
    for (int32_t offset = 0; offset < static_cast<int32_t>(text.size());) {
        const int32_t start = offset;
        const UChar32 c = nextCodePoint(text, offset);
        const bool white = c >= 0 && u_isUWhiteSpace(c);
        if (white && pieceStart >= 0) {
            pieces.push_back(text.substr(pieceStart, start - pieceStart));
            pieceStart = -1;
        } else if (!white && pieceStart < 0) {
            pieceStart = start;
        }
    }
    if (pieceStart >= 0) {
        pieces.push_back(text.substr(pieceStart));
    }
    return pieces;
}

std::string collapseWhitespace(std::string_view text) {
    std::string joined;
    joined.reserve(text.size());
    for (const std::string_view piece : splitWhitespace(text)) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined.append(piece);
    }
    return joined;
}

}  // namespace tessarin::UnicodeText
